// The circular doubly linked list that the getall functions hand to callers.
#pragma once

#include "ek_brd.h"

namespace ek {

inline void list_init(ek_list_head *head) {
    head->next = head;
    head->prev = head;
}

// Inserts before the head, i.e. at the tail, so a list filled by one walk
// keeps the walk's order.
inline void list_add_tail(ek_list_head *node, ek_list_head *head) {
    ek_list_head *tail = head->prev;
    node->next = head;
    node->prev = tail;
    tail->next = node;
    head->prev = node;
}

// Calls fn(node) for every node; fn may free the node it is given.
template <typename Fn>
inline void list_for_each_safe(ek_list_head *head, Fn &&fn) {
    for (ek_list_head *pos = head->next, *n = pos->next; pos != head; pos = n, n = pos->next) {
        fn(pos);
    }
}

// The node that embeds `link` as its first member.
template <typename Node>
inline Node *list_entry(ek_list_head *link) {
    static_assert(offsetof(Node, list) == 0, "the link leads the node");
    return reinterpret_cast<Node *>(link);
}

}  // namespace ek
