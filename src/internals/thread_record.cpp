#include "thread_record.h"

namespace bridge {
namespace {

constinit thread_local ThreadRecord record;

}  // namespace

ThreadRecord& threadRecord() noexcept { return record; }

}  // namespace bridge
