// The accurate-only portable math functions (see pmath_accurate.cpp).
#pragma once

namespace kestrum::pmath_accurate {

double exp(double x);
double log(double x);
double pow(double x, double y);
double sin(double x);
double cos(double x);
double tan(double x);

}  // namespace kestrum::pmath_accurate
