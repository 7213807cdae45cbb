// Compile-time facts about each virtual operation, keyed by its member pointer.
#pragma once

#include "orv_client.h"

// Position of each operation in the table.
enum class OperationIndex : int {
#define ORV_OPERATION(name, ...) name,
#include "operations.def"
  count
};

template <auto Operation>
struct OperationTraits;

#define ORV_OPERATION(op, ...)                                        \
  template <>                                                         \
  struct OperationTraits<&OrvClient::op> {                            \
    static constexpr const char* name = #op;                          \
    static constexpr OperationIndex index = OperationIndex::op;       \
  };
#include "operations.def"

// Names of all operations, indexed by OperationIndex.
inline constexpr const char* operationNames[] = {
#define ORV_OPERATION(name, ...) #name,
#include "operations.def"
};
static_assert(sizeof(operationNames) / sizeof(*operationNames) ==
              static_cast<int>(OperationIndex::count));
static_assert(static_cast<int>(OperationIndex::count) == 96);
