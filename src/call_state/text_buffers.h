// The storage of the texts an entry hands to an operation, kept from one call to the next.
//
// Every operation receives each text as a std::string of its own (by value), and a text
// longer than a std::string holds in place needs storage from the heap: an allocation
// and a release on every call, which cost more than the rest of the text's way through.
// Once an operation has returned, the parameters that held its texts are dead; their
// storage is kept here, per thread, and the next call's texts are copied into it. The
// values the operation receives are the same; only where their characters live changes.
//
// A few buffers are kept per thread (as many as the operation with the most texts takes:
// checked against the table where the texts are kept, overrides/orv_client_wrapper.h),
// none larger than maxKeptCapacity, so what is kept stays small; the rest are released
// as before. A thread's buffers are released when it ends.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "thread_record.h"

namespace call_state {

// The buffers a thread keeps (call_state/thread_record.h holds the thread's own).
struct KeptTexts {
  static constexpr std::size_t kept = 6;
  std::string buffers[kept];
  std::size_t count = 0;
};

class TextBuffers {
 public:
  static constexpr std::size_t kept = KeptTexts::kept;
  static constexpr std::size_t maxKeptCapacity = 1024;

  // A std::string holding `size` bytes at `data`, in a kept buffer when the text needs
  // one from the heap and one is there.
  [[gnu::always_inline]] static std::string text(const char* data, std::size_t size) {
    if (size == 0) return std::string();  // the common empty text, made in place
    if (size <= inPlaceCapacity()) return std::string(data, size);
    return copied(data, size, threadRecord().keptTexts);
  }

  // Takes the heap storage of a text that is no longer used, when it is of a size worth
  // keeping and there is room.
  [[gnu::always_inline]] static void keep(std::string&& dead) {
    std::size_t capacity = dead.capacity();
    if (capacity <= inPlaceCapacity() || capacity > maxKeptCapacity) return;
    KeptTexts* store = threadRecord().keptTexts;
    if (!store) store = threadStore();
    if (store && store->count < kept) {
      dead.clear();
      store->buffers[store->count++] = std::move(dead);
    }
  }

 private:
  // A text that needs storage of its own. (One function, with all it calls inlined: the
  // entries' units are too large for the compiler to inline std::string's members into
  // each of them.)
  [[gnu::noinline, gnu::flatten]] static std::string copied(const char* data, std::size_t size,
                                                            KeptTexts* store) {
    if (store == nullptr || store->count == 0) return std::string(data, size);
    return reuse(*store, data, size);
  }

  // What a std::string holds without storage of its own (folded to a constant by the
  // compiler; not a constant expression for every compiler and library).
  static std::size_t inPlaceCapacity() { return std::string().capacity(); }

  // The kept buffers hold no text (keep() empties them), so the text is appended.
  static std::string reuse(KeptTexts& store, const char* data, std::size_t size) {
    std::string value(std::move(store.buffers[--store.count]));
    value.append(data, size);
    return value;
  }

  // The calling thread's store, made at its first kept buffer and released when the
  // thread ends (after which the thread keeps nothing: null).
  [[gnu::noinline]] static KeptTexts* threadStore() {
    struct Owner {
      KeptTexts* store = nullptr;
      ~Owner() {
        threadRecord().keptTexts = nullptr;
        ended = true;
        delete store;
      }
    };
    if (ended) return nullptr;
    static thread_local Owner owner;
    if (!owner.store) owner.store = new KeptTexts;
    threadRecord().keptTexts = owner.store;
    return owner.store;
  }

  // Whether the thread's store was released (read only while none is recorded).
  static inline constinit thread_local bool ended = false;
};

}  // namespace call_state
