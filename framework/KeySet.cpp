#include "framework/KeySet.h"

#include "framework/Pool.h"

NTSTATUS KeySet::Add(ULONG_PTR key) {
  Node* node = static_cast<Node*>(PoolAlloc(sizeof(Node), NonPagedPool));
  if (node == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  node->key = key;
  lock.Lock();
  node->next = head;
  head = node;
  lock.Unlock();
  return STATUS_SUCCESS;
}

bool KeySet::RemoveFirst(ULONG_PTR key) {
  lock.Lock();
  Node* found = NULL;
  for (Node** link = &head; *link != NULL; link = &(*link)->next) {
    if ((*link)->key == key) {
      found = *link;
      *link = found->next;
      break;
    }
  }
  lock.Unlock();
  PoolFree(found);
  return found != NULL;
}
