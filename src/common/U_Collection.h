#pragma once
// An owning, ordered collection of items with stable addresses: other objects keep
// references to items while the collection grows or is reordered.

#include <algorithm>
#include <cassert>
#include <memory>
#include <vector>

namespace vidoria {

template <typename T>
class TOwnedCollection {
 public:
  TOwnedCollection() = default;
  TOwnedCollection(const TOwnedCollection& other) { Assign(other); }
  TOwnedCollection& operator=(const TOwnedCollection& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  TOwnedCollection(TOwnedCollection&&) noexcept = default;
  TOwnedCollection& operator=(TOwnedCollection&&) noexcept = default;
  virtual ~TOwnedCollection() = default;

  // Replaces the contents with copies of `other`'s items (each copied by T::Assign).
  void Assign(const TOwnedCollection& other) {
    items_.clear();
    for (const auto& item : other.items_) Add().Assign(*item);
  }

  T& Add() {
    items_.push_back(std::make_unique<T>());
    return *items_.back();
  }
  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  T& Item(size_t i) {
    assert(i < items_.size());
    return *items_[i];
  }
  const T& Item(size_t i) const {
    assert(i < items_.size());
    return *items_[i];
  }
  T& operator[](size_t i) { return Item(i); }
  const T& operator[](size_t i) const { return Item(i); }
  void Delete(size_t i) { items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i)); }
  void Clear() { items_.clear(); }
  // Moves item `from` to index `to`, shifting the ones between.
  void Move(size_t from, size_t to) {
    if (from == to || from >= items_.size() || to >= items_.size()) return;
    auto item = std::move(items_[from]);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(from));
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(to), std::move(item));
  }
  // Index of the item at this address, or -1.
  int IndexOf(const T& item) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].get() == &item) return static_cast<int>(i);
    return -1;
  }

  template <typename Less>
  void StableSort(Less less) {
    std::stable_sort(items_.begin(), items_.end(), [&](const auto& a, const auto& b) { return less(*a, *b); });
  }

  auto begin() { return Deref(items_.begin()); }
  auto end() { return Deref(items_.end()); }
  auto begin() const { return CDeref(items_.begin()); }
  auto end() const { return CDeref(items_.end()); }

 private:
  using Vec = std::vector<std::unique_ptr<T>>;
  struct Deref : Vec::iterator {
    explicit Deref(typename Vec::iterator it) : Vec::iterator(it) {}
    T& operator*() const { return *Vec::iterator::operator*(); }
    T* operator->() const { return Vec::iterator::operator*().get(); }
  };
  struct CDeref : Vec::const_iterator {
    explicit CDeref(typename Vec::const_iterator it) : Vec::const_iterator(it) {}
    const T& operator*() const { return *Vec::const_iterator::operator*(); }
    const T* operator->() const { return Vec::const_iterator::operator*().get(); }
  };
  Vec items_;
};

}  // namespace vidoria
