// The production and development public keys built into the program (PEM text, 451 characters and
// a NUL). Their values are configuration of the build, see cmake/keys.cmake.
#pragma once

extern const char builtin_production_key[452];
extern const char builtin_development_key[452];
