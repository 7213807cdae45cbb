// Compile-time facts about each virtual operation, keyed by its member pointer.
#pragma once

#include "orv_client.h"

// Position of each operation in the table.
enum class OperationIndex : int {
#define ORV_OPERATION(name, ...) name,
#include "operations.def"
  count
};

// The Python names of each operation's parameters, as one text ("order_id, contract,
// order"), from parameter_names.def.
template <OperationIndex Index>
struct ParameterNames;

#define ORV_PARAMETER_NAMES(op, ...)                                 \
  template <>                                                        \
  struct ParameterNames<OperationIndex::op> {                        \
    static constexpr const char* text = #__VA_ARGS__;                \
    static constexpr int count = ORV_COUNT(__VA_ARGS__);             \
  };
#include "parameter_names.def"

// The names table lists the operations in the order of the operation table.
inline constexpr OperationIndex parameterNameRows[] = {
#define ORV_PARAMETER_NAMES(op, ...) OperationIndex::op,
#include "parameter_names.def"
};
constexpr bool namesFollowTheTable() {
  for (int i = 0; i < static_cast<int>(OperationIndex::count); ++i)
    if (static_cast<int>(parameterNameRows[i]) != i) return false;
  return true;
}
static_assert(sizeof(parameterNameRows) / sizeof(*parameterNameRows) ==
              static_cast<int>(OperationIndex::count));
static_assert(namesFollowTheTable(), "parameter_names.def must follow operations.def's order");

template <auto Operation>
struct OperationTraits;

#define ORV_OPERATION(op, ...)                                                      \
  template <>                                                                       \
  struct OperationTraits<&OrvClient::op> {                                          \
    static constexpr const char* name = #op;                                        \
    static constexpr OperationIndex index = OperationIndex::op;                     \
    static constexpr const char* parameterNames = ParameterNames<index>::text;      \
    static_assert(ParameterNames<index>::count == ORV_COUNT(__VA_ARGS__),           \
                  "one parameter name per parameter type");                         \
  };
#include "operations.def"

// Whether the bridge looks the operation up on an instance: every operation but those
// whose own body dispatches further.
template <auto Operation>
inline constexpr bool isOverridden = true;
#define ORV_OPERATION(op, ...)
#define ORV_DISPATCHER(op, ...) \
  template <>                   \
  inline constexpr bool isOverridden<&OrvClient::op> = false;
#include "operations.def"

// Names of all operations, indexed by OperationIndex.
inline constexpr const char* operationNames[] = {
#define ORV_OPERATION(name, ...) #name,
#include "operations.def"
};
// Their parameter names, indexed the same way.
inline constexpr const char* operationParameterNames[] = {
#define ORV_OPERATION(name, ...) OperationTraits<&OrvClient::name>::parameterNames,
#include "operations.def"
};
static_assert(sizeof(operationNames) / sizeof(*operationNames) ==
              static_cast<int>(OperationIndex::count));
static_assert(static_cast<int>(OperationIndex::count) == 96);
