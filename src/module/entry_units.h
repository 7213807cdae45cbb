// Which unit compiles each method of OrvClient. The entries are nearly all of the
// module's code (each one a function of its own with every argument's conversion and
// the override's call inlined), so register_entries.cpp is compiled once per unit,
// ORV_ENTRY_UNITS times (CMakeLists.txt sets both macros), and the units compile side by
// side. Each unit takes a run of consecutive methods in registration order: the rows of
// client_methods.def, with the request entries of operations.def where
// ORV_REQUEST_ENTRIES stands. The runs are cut by weight, read from the tables alone: an
// entry's code is about a fixed part the size of two parameters' conversions, plus one
// such part per parameter.
#pragma once

#include <cstddef>
#include <iterator>

#include "../client/operation_traits.h"

#ifndef ORV_ENTRY_UNITS
#define ORV_ENTRY_UNITS 1
#endif

namespace module_init {

inline constexpr int entryUnitCount = ORV_ENTRY_UNITS;

constexpr int weight(std::size_t parameters) { return 2 + static_cast<int>(parameters); }

// The rows of client_methods.def, each named after the method it registers;
// requestEntries stands for the request entries.
enum class MethodRow : int {
#define ORV_MEMBER(name, ...) name,
#define ORV_REPLAY_MEMBER(name, ...) name,
#define ORV_OPERATION_ENTRY(operation) operation,
#define ORV_SIMULATION(entry, ...) entry,
#define ORV_REQUEST_ENTRIES requestEntries,
#include "client_methods.def"
};

inline constexpr int methodWeights[] = {
#define ORV_MEMBER(name, result, ...) weight(ORV_COUNT(__VA_ARGS__)),
#define ORV_REPLAY_MEMBER(name, callback, ...) weight(ORV_COUNT(__VA_ARGS__)),
#define ORV_OPERATION_ENTRY(operation) \
  weight(OperationTraits<&OrvClient::operation>::parameterNames.size()),
#define ORV_SIMULATION(entry, callback, ...)                                \
  weight(OperationTraits<&OrvClient::callback>::parameterNames.size() + \
         ORV_COUNT(__VA_ARGS__)),
#define ORV_REQUEST_ENTRIES 0,
#include "client_methods.def"
};

// By OperationIndex; nothing for an operation without a request entry.
inline constexpr int requestWeights[] = {
#define ORV_OPERATION(name, ...) 0,
#define ORV_REQUEST(name, entry, ...) weight(ORV_COUNT(__VA_ARGS__)),
#include "../client/operations.def"
};

constexpr int sum(const int* first, const int* last) {
  int total = 0;
  for (; first != last; ++first) total += *first;
  return total;
}

inline constexpr int requestsWeight = sum(std::begin(requestWeights), std::end(requestWeights));
inline constexpr int totalWeight =
    requestsWeight + sum(std::begin(methodWeights), std::end(methodWeights));
inline constexpr int requestsRow = static_cast<int>(MethodRow::requestEntries);

// The unit of the entry whose run of weight `own` starts at `start`: the one its middle
// falls in. It never decreases along the registration order.
constexpr int unitAt(int start, int own) {
  return (2 * start + own) * entryUnitCount / (2 * totalWeight);
}

constexpr int unitOf(MethodRow row) {
  int index = static_cast<int>(row);
  int start = sum(methodWeights, methodWeights + index) + (index > requestsRow ? requestsWeight : 0);
  return unitAt(start, methodWeights[index]);
}

constexpr int unitOf(OperationIndex operation) {
  int index = static_cast<int>(operation);
  int start = sum(methodWeights, methodWeights + requestsRow) +
              sum(requestWeights, requestWeights + index);
  return unitAt(start, requestWeights[index]);
}

}  // namespace module_init
