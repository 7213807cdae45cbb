// Compile-time facts about each virtual operation, keyed by its member pointer, all read
// from operations.def.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <type_traits>

#include "orv_client.h"

// Position of each operation in the table.
enum class OperationIndex : int {
#define ORV_OPERATION(name, ...) name,
#include "operations.def"
  count
};

// The Python names of a parameter list's parameters, in order.
template <std::size_t N>
using ParameterNameList = std::array<const char*, N>;

template <auto Operation>
struct OperationTraits;

#define ORV_OPERATION(op, ...)                                                        \
  template <>                                                                         \
  struct OperationTraits<&OrvClient::op> {                                            \
    static constexpr const char* name = #op;                                          \
    static constexpr OperationIndex index = OperationIndex::op;                       \
    static constexpr ParameterNameList<ORV_COUNT(__VA_ARGS__)> parameterNames = {     \
        ORV_NAME_TEXTS(__VA_ARGS__)};                                                 \
  };
#include "operations.def"

// Whether the bridge looks the operation up on an instance (the operations
// OrvClientWrapper overrides): every operation but those whose own body dispatches
// further, and no other member function.
template <auto Operation>
inline constexpr bool isOverridden = false;
#define ORV_OVERRIDDEN(op, ...) \
  template <>                   \
  inline constexpr bool isOverridden<&OrvClient::op> = true;
#include "operations.def"

// Names of all operations, indexed by OperationIndex.
inline constexpr const char* operationNames[] = {
#define ORV_OPERATION(name, ...) #name,
#include "operations.def"
};
// Their parameters' names, indexed the same way.
inline constexpr const char* const* operationParameterNames[] = {
#define ORV_OPERATION(name, ...) OperationTraits<&OrvClient::name>::parameterNames.data(),
#include "operations.def"
};
static_assert(sizeof(operationNames) / sizeof(*operationNames) ==
              static_cast<int>(OperationIndex::count));

// The most texts (std::string parameters) any operation takes.
template <class... T>
inline constexpr std::size_t textCount = (std::size_t{0} + ... + std::is_same_v<T, std::string>);
inline constexpr std::size_t mostTextParameters = std::max({
#define ORV_OPERATION(name, ...) textCount<ORV_TYPES(__VA_ARGS__)>,
#include "operations.def"
});
