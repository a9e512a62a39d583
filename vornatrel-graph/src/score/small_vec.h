// A vector of trivially copyable elements that keeps its first N elements
// inline and spills to the heap beyond that.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vornatrel::score {

template <typename T, uint32_t N>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);
  static_assert(N > 0);

 public:
  SmallVec() = default;
  SmallVec(const SmallVec&) = delete;
  SmallVec& operator=(const SmallVec&) = delete;
  SmallVec(SmallVec&& other) noexcept { take(other); }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~SmallVec() { release(); }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return heap_ ? heap_ : inline_; }
  const T* data() const { return heap_ ? heap_ : inline_; }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](uint32_t i) { return data()[i]; }
  const T& operator[](uint32_t i) const { return data()[i]; }
  bool on_heap() const { return heap_ != nullptr; }

  void push_back(const T& value) {
    if (size_ == capacity()) grow();
    data()[size_++] = value;
  }

  // Inserts before position `at` (at <= size), moving the tail up by one.
  void insert(uint32_t at, const T& value) {
    if (size_ == capacity()) grow();
    T* d = data();
    std::memmove(d + at + 1, d + at, sizeof(T) * (size_ - at));
    d[at] = value;
    ++size_;
  }

  // Keeps the elements for which keep(e) is true, in order, in place.
  template <typename Pred>
  void retain(Pred keep) {
    T* d = data();
    uint32_t out = 0;
    for (uint32_t i = 0; i < size_; ++i) {
      if (keep(d[i])) d[out++] = d[i];
    }
    size_ = out;
  }

  void clear() { size_ = 0; }

 private:
  uint32_t capacity() const { return heap_ ? heap_cap_ : N; }

  void grow() {
    // The first spill takes room for several more elements at once: a
    // table that outgrows its inline room usually keeps growing.
    uint32_t cap = capacity() < 4 ? 8 : capacity() * 2;
    T* mem = static_cast<T*>(std::malloc(sizeof(T) * cap));
    if (mem == nullptr) throw std::bad_alloc();
    std::memcpy(mem, data(), sizeof(T) * size_);
    std::free(heap_);
    heap_ = mem;
    heap_cap_ = cap;
  }

  // Most vectors never spill: skipping the call for them matters on the
  // walk's paths that create and drop hypotheses.
  void release() {
    if (heap_ != nullptr) {
      std::free(heap_);
      heap_ = nullptr;
    }
    size_ = 0;
  }

  void take(SmallVec& other) {
    size_ = other.size_;
    heap_ = std::exchange(other.heap_, nullptr);
    heap_cap_ = other.heap_cap_;
    if (!heap_ && size_ != 0) {
      std::memcpy(inline_, other.inline_, sizeof(T) * size_);
    }
    other.size_ = 0;
  }

  T* heap_ = nullptr;
  uint32_t size_ = 0;
  uint32_t heap_cap_ = 0;
  T inline_[N];
};

}  // namespace vornatrel::score
