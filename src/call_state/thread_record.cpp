#include "thread_record.h"

namespace call_state {
namespace {

constinit thread_local ThreadRecord record;

}  // namespace

ThreadRecord& threadRecord() noexcept { return record; }

}  // namespace call_state
