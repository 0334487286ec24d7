// The operator primitives: one free function per operator symbol, all with the
// signature (left, right, accuracyOverEfficiency). Only _factorial reads the
// flag, and it takes its single operand from `right`.
#pragma once

long double _add(long double left, long double right, bool accuracyOverEfficiency);
long double _sub(long double left, long double right, bool accuracyOverEfficiency);
long double _mul(long double left, long double right, bool accuracyOverEfficiency);
long double _div(long double left, long double right, bool accuracyOverEfficiency);
long double _mod(long double left, long double right, bool accuracyOverEfficiency);
long double _pow(long double left, long double right, bool accuracyOverEfficiency);
long double _factorial(long double left, long double right, bool accuracyOverEfficiency);
