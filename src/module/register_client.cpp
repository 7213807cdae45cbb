// OrvClient as Python sees it: the class, its constructor and its 111 methods, in order.
#include <boost/python/class.hpp>
#include <boost/python/init.hpp>

#include "../client/request_gateway.h"
#include "../client/simulation_feed.h"
#include "registration.h"
#include "wrapper_methods.h"

namespace {

using Client = boost::python::class_<OrvClientWrapper, boost::noncopyable>;

// A virtual operation exposed under its own name; the call dispatches like a native one.
template <auto Operation>
void defineDirect(Client& cls) {
  cls.def(OperationTraits<Operation>::name, &OnWrapper<Operation>::call);
}

// A replay entry feeding the callback `Callback`; `Unused` are trailing texts it drops.
template <auto Callback, class... Unused>
void defineSimulation(Client& cls) {
  cls.def(simulationEntryName(OperationTraits<Callback>::name).c_str(),
          &Simulation<Callback, Unused...>::template replay<OrvClientWrapper>);
}

// The snake-case request entries, in the order of the operation table.
void defineRequestEntries(Client& cls) {
#define ORV_REQUEST(name, ...)                                      \
  cls.def(requestEntryName(#name).c_str(),                          \
          &RequestGateway<&OrvClient::name>::forward<OrvClientWrapper>);
#define ORV_RECORDED_REQUEST(name, ...)                             \
  cls.def(requestEntryName(#name).c_str(),                          \
          &RequestGateway<&OrvClient::name>::forwardOrRecord<OrvClientWrapper>);
#include "../client/operations.def"
}

}  // namespace

boost::python::object registerClient() {
  Client cls("OrvClient", boost::python::init<>());
  cls.def("setRunningMode", &OnWrapper<&OrvClient::setRunningMode>::call);
  cls.def("setDeveloper", &OnWrapper<&OrvClient::setDeveloper>::call);
  defineDirect<&OrvClient::error>(cls);
  cls.def("req_heart_beats", &OnWrapper<&OrvClient::req_heart_beats>::call);
  defineDirect<&OrvClient::nextVa1idId>(cls);
  defineDirect<&OrvClient::heartBeatsEnd>(cls);
  defineDirect<&OrvClient::current>(cls);
  cls.def("getDeveloperResponse", &OnWrapper<&OrvClient::getDeveloperResponse>::call);
  cls.def("simulateCurrentTime", &OnWrapper<&OrvClient::simulateCurrentTime>::call);
  defineSimulation<&OrvClient::tickPrice, std::string>(cls);
  defineSimulation<&OrvClient::tickSize, std::string>(cls);
  defineSimulation<&OrvClient::openOrder, std::string>(cls);
  defineSimulation<&OrvClient::orderStatus>(cls);
  defineSimulation<&OrvClient::position, std::string>(cls);
  defineSimulation<&OrvClient::positionEnd>(cls);
  defineSimulation<&OrvClient::openOrderEnd>(cls);
  defineSimulation<&OrvClient::execDetails, std::string>(cls);
  defineSimulation<&OrvClient::nextValidId>(cls);
  defineSimulation<&OrvClient::updateAccountValue>(cls);
  defineSimulation<&OrvClient::historicalData>(cls);
  cls.def("simulateNextValidIdForTesting",
          &OnWrapper<&OrvClient::simulateNextValidIdForTesting>::call);
  defineRequestEntries(cls);
  cls.def("e_connect", &OnWrapper<&OrvClient::e_connect>::call);
  defineDirect<&OrvClient::tickPrice>(cls);
  cls.def("e_disconnect", &OnWrapper<&OrvClient::e_disconnect>::call);
  defineDirect<&OrvClient::tickSize>(cls);
  defineDirect<&OrvClient::openOrder>(cls);
  defineDirect<&OrvClient::positionEnd>(cls);
  defineDirect<&OrvClient::openOrderEnd>(cls);
  defineDirect<&OrvClient::updateAccountValue>(cls);
  defineDirect<&OrvClient::orderStatus>(cls);
  defineDirect<&OrvClient::historicalData>(cls);
  defineDirect<&OrvClient::position>(cls);
  defineDirect<&OrvClient::execDetails>(cls);
  return std::move(cls);
}
