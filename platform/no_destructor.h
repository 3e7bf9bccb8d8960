// Holds an object constructed in place whose destructor never runs: process-wide objects stay
// usable by code that runs during exit (other statics' destructors, atexit handlers, detached
// threads), which a destroyed static would turn into undefined behaviour.
#ifndef CORVALITH_PLATFORM_NO_DESTRUCTOR_H_
#define CORVALITH_PLATFORM_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace corvalith {

template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_NO_DESTRUCTOR_H_
