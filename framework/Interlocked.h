// Interlocked operations on 32-bit values and pointers.
#pragma once

#include <ntddk.h>

class Interlocked {
 public:
  static LONG Increment(LONG volatile* value) { return InterlockedIncrement(value); }
  static LONG Decrement(LONG volatile* value) { return InterlockedDecrement(value); }
  static LONG Exchange(LONG volatile* target, LONG value) {
    return InterlockedExchange(target, value);
  }
  // One locked exchange-add instruction (lock xadd); returns the value before
  // the addition.
  static LONG ExchangeAdd(LONG volatile* counter, LONG value) {
    return __atomic_fetch_add(counter, value, __ATOMIC_SEQ_CST);
  }
  template <typename T>
  static T* ExchangePointer(T* volatile* target, T* value) {
    return static_cast<T*>(InterlockedExchangePointer(target, value));
  }
};
