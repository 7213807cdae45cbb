// The kinds of market-data field a price or size event carries.
#pragma once

// An explicit int underlying type keeps every value signed, so values outside the list
// (negative ones included) survive a round trip through Python unchanged.
enum TickType : int {
#define ORV_TICK_TYPE(name, value) name = value,
#include "tick_types.def"
};

// The largest listed value; everything from 0 to here can be indexed directly.
inline constexpr int maxTickTypeValue = NOT_SET;

// Every listed member's name and value, in the order of the list.
struct TickTypeMember {
  const char* name;
  TickType value;
};
inline constexpr TickTypeMember tickTypeMembers[] = {
#define ORV_TICK_TYPE(name, value) {#name, name},
#include "tick_types.def"
};
