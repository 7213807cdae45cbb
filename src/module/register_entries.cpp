// The methods of OrvClient, registered in the order of client_methods.def (the request
// entries in the order of operations.def, where ORV_REQUEST_ENTRIES stands). This file
// is compiled once per unit (entry_units.h), ORV_ENTRY_UNIT telling which: the unit's
// defineEntries<ORV_ENTRY_UNIT> defines its run of methods, and the other methods are
// not even instantiated here. registerClient calls the units in turn.
#include <cstddef>
#include <tuple>
#include <type_traits>

#include "../client/request_gateway.h"
#include "../client/simulation_feed.h"
#include "define_entry.h"
#include "entry_units.h"

#ifndef ORV_ENTRY_UNIT
#define ORV_ENTRY_UNIT 0
#endif
static_assert(ORV_ENTRY_UNIT >= 0 && ORV_ENTRY_UNIT < module_init::entryUnitCount);

namespace module_init {

// Templates alike in every unit: the units instantiate different entries of them.

// Two name lists one after the other.
template <std::size_t N, std::size_t M>
constexpr ParameterNameList<N + M> joined(const ParameterNameList<N>& first,
                                          const ParameterNameList<M>& second) {
  ParameterNameList<N + M> names{};
  for (std::size_t i = 0; i < N; ++i) names[i] = first[i];
  for (std::size_t i = 0; i < M; ++i) names[N + i] = second[i];
  return names;
}

// A member function of OrvClient under its own name.
template <auto Member, class Result, class RowTypes, std::size_t N>
void defineMember(ClientClass& cls, const char* name, const ParameterNameList<N>& parameterNames) {
  static_assert(std::is_same_v<typename entries::OnWrapper<Member>::Parameters, RowTypes> &&
                    std::is_same_v<typename entries::OnWrapper<Member>::Result, Result>,
                "client_methods.def gives the member's result and parameter types");
  defineEntry<&entries::OnWrapper<Member>::call>(cls, name, parameterNames);
}

// A virtual operation exposed under its own name; the call dispatches like a native one
// (for an overridden operation, to the instance's method of the same name).
template <auto Operation>
void defineOperation(ClientClass& cls) {
  defineEntry<&entries::OnWrapper<Operation>::call>(
      cls, OperationTraits<Operation>::name, OperationTraits<Operation>::parameterNames,
      isOverridden<Operation> ? static_cast<int>(OperationTraits<Operation>::index) : -1);
}

// A replay entry feeding the callback `Callback`; `Unused` are trailing parameters it
// drops, named by `unusedNames`.
template <EntryName Name, auto Callback, class... Unused, std::size_t N>
void defineSimulation(ClientClass& cls, const ParameterNameList<N>& unusedNames) {
  defineEntry<&Simulation<Name, Callback, Unused...>::template replay<OrvClientWrapper>>(
      cls, Name.text, joined(OperationTraits<Callback>::parameterNames, unusedNames));
}

// The unit's request entries, in the order of operations.def.
template <int Unit>
void defineRequests(ClientClass& cls) {
#define ORV_REQUEST(name, entry, ...)                                            \
  if constexpr (unitOf(OperationIndex::name) == Unit)                          \
    defineEntry<&RequestGateway<&OrvClient::name>::forward<OrvClientWrapper>>( \
        cls, entry, OperationTraits<&OrvClient::name>::parameterNames);
#define ORV_RECORDED_REQUEST(name, entry, ...)                                          \
  if constexpr (unitOf(OperationIndex::name) == Unit)                                 \
    defineEntry<&RequestGateway<&OrvClient::name>::forwardOrRecord<OrvClientWrapper>>( \
        cls, entry, OperationTraits<&OrvClient::name>::parameterNames);
#include "../client/operations.def"
}



template <int Unit>
void defineEntries(ClientClass& cls) {
#define ORV_MEMBER(name, result, ...)                                                  \
  if constexpr (unitOf(MethodRow::name) == Unit)                                       \
    defineMember<&OrvClient::name, result, std::tuple<ORV_TYPES(__VA_ARGS__)>>(         \
        cls, #name, ParameterNameList<ORV_COUNT(__VA_ARGS__)>{ORV_NAME_TEXTS(__VA_ARGS__)});
#define ORV_REPLAY_MEMBER(name, callback, ...)                                        \
  static_assert(std::is_same_v<entries::OnWrapper<&OrvClient::callback>::Parameters,         \
                               std::tuple<ORV_TYPES(__VA_ARGS__)>>,                   \
                "a replay takes its callback's parameters");                         \
  ORV_MEMBER(name, void __VA_OPT__(, ) __VA_ARGS__)
#define ORV_OPERATION_ENTRY(operation) \
  if constexpr (unitOf(MethodRow::operation) == Unit) defineOperation<&OrvClient::operation>(cls);
#define ORV_SIMULATION(entry, callback, ...)                                             \
  if constexpr (unitOf(MethodRow::entry) == Unit)                                        \
    defineSimulation<#entry, &OrvClient::callback __VA_OPT__(, ) ORV_TYPES(__VA_ARGS__)>( \
        cls, ParameterNameList<ORV_COUNT(__VA_ARGS__)>{ORV_NAME_TEXTS(__VA_ARGS__)});
#define ORV_REQUEST_ENTRIES defineRequests<Unit>(cls);
#include "client_methods.def"
}

template void defineEntries<ORV_ENTRY_UNIT>(ClientClass& cls);

}  // namespace module_init
