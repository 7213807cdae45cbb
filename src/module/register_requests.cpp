// The snake-case request entries of OrvClient (ORV_REQUEST_ENTRIES in
// client_methods.def), made from the rows of the operation table.
#include "define_entry.h"

#include "../client/request_gateway.h"

void defineRequestEntries(ClientClass& cls) {
#define ORV_REQUEST(name, entry, ...)                                         \
  defineEntry<&RequestGateway<&OrvClient::name>::forward<OrvClientWrapper>>( \
      cls, entry, OperationTraits<&OrvClient::name>::parameterNames);
#define ORV_RECORDED_REQUEST(name, entry, ...)                                        \
  defineEntry<&RequestGateway<&OrvClient::name>::forwardOrRecord<OrvClientWrapper>>( \
      cls, entry, OperationTraits<&OrvClient::name>::parameterNames);
#include "../client/operations.def"
}
