// Circular doubly linked lists: a ring with a head node that belongs to no
// element.  A node on no list is a one-element ring.
#include "qira.h"

extern "C" {

QIRA_API void DNode_Init(QiraDNode *node) {
  node->next = node;
  node->prev = node;
}

QIRA_API void DNode_AddAfter(QiraDNode *node, QiraDNode *where) {
  node->next = where->next;
  node->prev = where;
  where->next->prev = node;
  where->next = node;
}

QIRA_API void DNode_AddBefore(QiraDNode *node, QiraDNode *where) {
  node->prev = where->prev;
  node->next = where;
  where->prev->next = node;
  where->prev = node;
}

// Leaves the node as a one-element ring, so a second removal changes nothing.
QIRA_API void DNode_Remove(QiraDNode *node) {
  node->next->prev = node->prev;
  node->prev->next = node->next;
  node->next = node;
  node->prev = node;
}

}  // extern "C"
