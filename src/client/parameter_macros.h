// Turns a row's bare type list into named parameters and argument lists, so that one
// row of operations.def can produce a declaration, a definition and a forwarding call.
#pragma once

#define ORV_CAT_(a, b) a##b
#define ORV_CAT(a, b) ORV_CAT_(a, b)

// Number of types in the list, 0 to 11.
#define ORV_COUNT(...) ORV_COUNT_(__VA_OPT__(__VA_ARGS__, ) 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define ORV_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, n, ...) n

// ORV_PARAMS(int, bool) -> int a1, bool a2
#define ORV_PARAMS(...) ORV_CAT(ORV_PARAMS_, ORV_COUNT(__VA_ARGS__))(__VA_ARGS__)
#define ORV_PARAMS_0()
#define ORV_PARAMS_1(t1) t1 a1
#define ORV_PARAMS_2(t1, t2) ORV_PARAMS_1(t1), t2 a2
#define ORV_PARAMS_3(t1, t2, t3) ORV_PARAMS_2(t1, t2), t3 a3
#define ORV_PARAMS_4(t1, t2, t3, t4) ORV_PARAMS_3(t1, t2, t3), t4 a4
#define ORV_PARAMS_5(t1, t2, t3, t4, t5) ORV_PARAMS_4(t1, t2, t3, t4), t5 a5
#define ORV_PARAMS_6(t1, t2, t3, t4, t5, t6) ORV_PARAMS_5(t1, t2, t3, t4, t5), t6 a6
#define ORV_PARAMS_7(t1, t2, t3, t4, t5, t6, t7) ORV_PARAMS_6(t1, t2, t3, t4, t5, t6), t7 a7
#define ORV_PARAMS_8(t1, t2, t3, t4, t5, t6, t7, t8) \
  ORV_PARAMS_7(t1, t2, t3, t4, t5, t6, t7), t8 a8
#define ORV_PARAMS_9(t1, t2, t3, t4, t5, t6, t7, t8, t9) \
  ORV_PARAMS_8(t1, t2, t3, t4, t5, t6, t7, t8), t9 a9
#define ORV_PARAMS_10(t1, t2, t3, t4, t5, t6, t7, t8, t9, t10) \
  ORV_PARAMS_9(t1, t2, t3, t4, t5, t6, t7, t8, t9), t10 a10
#define ORV_PARAMS_11(t1, t2, t3, t4, t5, t6, t7, t8, t9, t10, t11) \
  ORV_PARAMS_10(t1, t2, t3, t4, t5, t6, t7, t8, t9, t10), t11 a11

// ORV_ARGS(int, bool) -> a1, a2 (the names ORV_PARAMS gave them)
#define ORV_ARGS(...) ORV_CAT(ORV_ARGS_, ORV_COUNT(__VA_ARGS__))
#define ORV_ARGS_0
#define ORV_ARGS_1 a1
#define ORV_ARGS_2 ORV_ARGS_1, a2
#define ORV_ARGS_3 ORV_ARGS_2, a3
#define ORV_ARGS_4 ORV_ARGS_3, a4
#define ORV_ARGS_5 ORV_ARGS_4, a5
#define ORV_ARGS_6 ORV_ARGS_5, a6
#define ORV_ARGS_7 ORV_ARGS_6, a7
#define ORV_ARGS_8 ORV_ARGS_7, a8
#define ORV_ARGS_9 ORV_ARGS_8, a9
#define ORV_ARGS_10 ORV_ARGS_9, a10
#define ORV_ARGS_11 ORV_ARGS_10, a11
