// What every layer uses to forget a secret: keys, PINs and plaintexts are overwritten before
// their memory goes back, with a store the compiler may not drop as dead.
//
// One mechanism holds them all: SecureAllocator, which wipes every block it hands back, and the
// containers made on it. SecureBytes / SecureVector are plain vectors whose buffer is wiped when
// it is released (grown, shrunk to fit or destroyed). SecureString adds what an allocator alone
// never sees: the characters a short string keeps inside the object itself, which it wipes when
// it is destroyed, cleared, moved from or shrunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmor::platform {

// Cleanse: overwrites `size` bytes at `p` with zeros. Null or 0 does nothing.
void Cleanse(void* p, std::size_t size) noexcept;

// SecureAllocator: std::allocator's memory, wiped before it is given back. Stateless: any two
// compare equal, so containers move and swap their buffers without copying.
template <typename T>
struct SecureAllocator {
  using value_type = T;
  SecureAllocator() noexcept = default;
  template <typename U>
  SecureAllocator(const SecureAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    Cleanse(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <typename U>
  bool operator==(const SecureAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using SecureVector = std::vector<T, SecureAllocator<T>>;
using SecureBytes = SecureVector<std::uint8_t>;

// BasicSecureString: a string on SecureAllocator that also wipes its inline characters. Use it
// by this name: what std::basic_string's own operators return (operator+, substr) is the base
// type, whose heap buffer is wiped but whose inline characters are not.
template <typename CharT>
class BasicSecureString
    : public std::basic_string<CharT, std::char_traits<CharT>, SecureAllocator<CharT>> {
  using Base = std::basic_string<CharT, std::char_traits<CharT>, SecureAllocator<CharT>>;

 public:
  using Base::Base;
  BasicSecureString() noexcept = default;
  BasicSecureString(const BasicSecureString&) = default;
  BasicSecureString(BasicSecureString&& other) noexcept : Base(std::move(other.base())) {
    other.WipeInline();
  }
  explicit BasicSecureString(std::basic_string_view<CharT> text) : Base(text) {}
  BasicSecureString& operator=(const BasicSecureString& other) {
    if (this != &other) {
      clear();
      Base::operator=(other);
    }
    return *this;
  }
  BasicSecureString& operator=(BasicSecureString&& other) noexcept {
    if (this != &other) {
      clear();
      Base::operator=(std::move(other.base()));
      other.WipeInline();
    }
    return *this;
  }
  BasicSecureString& operator=(std::basic_string_view<CharT> text) {
    clear();
    Base::assign(text.data(), text.size());
    return *this;
  }
  ~BasicSecureString() { WipeInline(); }

  // clear: empty, with every character the storage held overwritten (the heap buffer stays
  // allocated, as std::basic_string::clear leaves it).
  void clear() noexcept {
    Cleanse(Base::data(), Base::capacity() * sizeof(CharT));
    Base::clear();
  }
  void shrink_to_fit() {
    // Characters that move from the heap into the object leave a buffer the allocator wipes;
    // those past the end inside the object are wiped here.
    Base::shrink_to_fit();
    if (IsInline()) {
      Cleanse(Base::data() + Base::size(), (Base::capacity() - Base::size()) * sizeof(CharT));
    }
  }

  Base& base() noexcept { return *this; }
  const Base& base() const noexcept { return *this; }

 private:
  bool IsInline() const noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(Base::data());
    const auto* self = reinterpret_cast<const unsigned char*>(this);
    return p >= self && p < self + sizeof(*this);
  }
  void WipeInline() noexcept {
    if (IsInline()) Cleanse(Base::data(), (Base::capacity() + 1) * sizeof(CharT));
  }
};

using SecureString = BasicSecureString<char>;
using SecureU16String = BasicSecureString<char16_t>;

// CleanseContents: overwrites all the storage of `text` (to its capacity, the characters a short
// string keeps inside the object included) and leaves it empty. For the std::string a library
// hands over, a JSON value say, that cannot be a SecureString.
template <typename String>
void CleanseContents(String& text) noexcept {
  Cleanse(text.data(), text.capacity() * sizeof(typename String::value_type));
  text.clear();
}

// ScopedCleanse: wipes a fixed buffer (scratch on the stack) however the scope that owns it
// ends.
class ScopedCleanse {
 public:
  ScopedCleanse(void* p, std::size_t size) noexcept : p_(p), size_(size) {}
  ScopedCleanse(const ScopedCleanse&) = delete;
  ScopedCleanse& operator=(const ScopedCleanse&) = delete;
  ~ScopedCleanse() { Cleanse(p_, size_); }

 private:
  void* p_;
  std::size_t size_;
};

}  // namespace velmor::platform
