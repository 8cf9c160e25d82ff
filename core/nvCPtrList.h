#pragma once
// A doubly linked list of untyped pointers. The list owns its nodes, never the data.

#include <cstdint>

class nvCPtrList {
 public:
  nvCPtrList() = default;
  ~nvCPtrList();
  nvCPtrList(const nvCPtrList&) = delete;
  nvCPtrList& operator=(const nvCPtrList&) = delete;

  void AddTail(void* data);
  // The data at a 0-based index, or null; moves the cursor to that node.
  void* GetAt(int32_t index);
  void* GetHead() const;
  // Unlinks the node at the index and returns its data (null when there is none).
  void* RemoveAt(int32_t index);
  // Unlinks the first node holding `data`; returns it, or null when absent.
  void* Remove(void* data);
  void RemoveAll();
  int32_t GetCount() const { return count_; }

 private:
  struct Node {
    void* data;
    Node* previous;
    Node* next;
  };

  Node* NodeAt(int32_t index) const;
  void Unlink(Node* node);

  int32_t count_ = 0;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  Node* cursor_ = nullptr;
};
