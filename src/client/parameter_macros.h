// Turns a row's (type, name) pairs into the pieces C++ needs, so that one row of
// operations.def produces a declaration, a definition, a forwarding call and the names
// that argument errors and signatures show.
#pragma once

#define ORV_CAT_(a, b) a##b
#define ORV_CAT(a, b) ORV_CAT_(a, b)

// Number of parameters in the list, 0 to 11.
#define ORV_COUNT(...) ORV_COUNT_(__VA_OPT__(__VA_ARGS__, ) 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define ORV_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, n, ...) n

// ORV_MAP(f, (int, a), (bool, b)) -> f(int, a), f(bool, b)
#define ORV_MAP(f, ...) ORV_CAT(ORV_MAP_, ORV_COUNT(__VA_ARGS__))(f __VA_OPT__(, ) __VA_ARGS__)
#define ORV_MAP_0(f)
#define ORV_MAP_1(f, p) f p
#define ORV_MAP_2(f, p, ...) f p, ORV_MAP_1(f, __VA_ARGS__)
#define ORV_MAP_3(f, p, ...) f p, ORV_MAP_2(f, __VA_ARGS__)
#define ORV_MAP_4(f, p, ...) f p, ORV_MAP_3(f, __VA_ARGS__)
#define ORV_MAP_5(f, p, ...) f p, ORV_MAP_4(f, __VA_ARGS__)
#define ORV_MAP_6(f, p, ...) f p, ORV_MAP_5(f, __VA_ARGS__)
#define ORV_MAP_7(f, p, ...) f p, ORV_MAP_6(f, __VA_ARGS__)
#define ORV_MAP_8(f, p, ...) f p, ORV_MAP_7(f, __VA_ARGS__)
#define ORV_MAP_9(f, p, ...) f p, ORV_MAP_8(f, __VA_ARGS__)
#define ORV_MAP_10(f, p, ...) f p, ORV_MAP_9(f, __VA_ARGS__)
#define ORV_MAP_11(f, p, ...) f p, ORV_MAP_10(f, __VA_ARGS__)

#define ORV_PAIR_DECLARATION(type, name) type name
#define ORV_PAIR_TYPE(type, name) type
#define ORV_PAIR_NAME(type, name) name
#define ORV_PAIR_NAME_TEXT(type, name) #name

// ORV_PARAMS((int, a), (bool, b)) -> int a, bool b
#define ORV_PARAMS(...) ORV_MAP(ORV_PAIR_DECLARATION __VA_OPT__(, ) __VA_ARGS__)
// ORV_TYPES((int, a), (bool, b)) -> int, bool
#define ORV_TYPES(...) ORV_MAP(ORV_PAIR_TYPE __VA_OPT__(, ) __VA_ARGS__)
// ORV_ARGS((int, a), (bool, b)) -> a, b
#define ORV_ARGS(...) ORV_MAP(ORV_PAIR_NAME __VA_OPT__(, ) __VA_ARGS__)
// ORV_NAME_TEXTS((int, a), (bool, b)) -> "a", "b"
#define ORV_NAME_TEXTS(...) ORV_MAP(ORV_PAIR_NAME_TEXT __VA_OPT__(, ) __VA_ARGS__)
