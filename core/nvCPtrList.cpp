#include "core/nvCPtrList.h"

nvCPtrList::~nvCPtrList() { RemoveAll(); }

void nvCPtrList::AddTail(void* data) {
  Node* node = new Node{data, tail_, nullptr};
  if (tail_ != nullptr) {
    tail_->next = node;
  } else {
    head_ = node;
    cursor_ = node;
  }
  tail_ = node;
  ++count_;
}

nvCPtrList::Node* nvCPtrList::NodeAt(int32_t index) const {
  if (index < 0 || index >= count_) return nullptr;
  Node* node = head_;
  for (int32_t i = 0; i < index && node != nullptr; ++i) node = node->next;
  return node;
}

void* nvCPtrList::GetAt(int32_t index) {
  Node* node = NodeAt(index);
  if (node == nullptr) return nullptr;
  cursor_ = node;
  return node->data;
}

void* nvCPtrList::GetHead() const { return head_ != nullptr ? head_->data : nullptr; }

void nvCPtrList::Unlink(Node* node) {
  if (node->previous != nullptr) {
    node->previous->next = node->next;
  } else {
    head_ = node->next;
  }
  if (node->next != nullptr) {
    node->next->previous = node->previous;
  } else {
    tail_ = node->previous;
  }
  delete node;
  --count_;
  cursor_ = head_;
}

void* nvCPtrList::RemoveAt(int32_t index) {
  Node* node = NodeAt(index);
  if (node == nullptr) return nullptr;
  void* data = node->data;
  Unlink(node);
  return data;
}

void* nvCPtrList::Remove(void* data) {
  for (Node* node = head_; node != nullptr; node = node->next) {
    if (node->data == data) {
      Unlink(node);
      return data;
    }
  }
  return nullptr;
}

void nvCPtrList::RemoveAll() {
  Node* node = head_;
  while (node != nullptr) {
    Node* next = node->next;
    delete node;
    node = next;
  }
  head_ = tail_ = cursor_ = nullptr;
  count_ = 0;
}
