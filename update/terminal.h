// Whether a standard stream is a terminal (a console on Windows): the platform's own test.
#pragma once

#include <cstdio>

bool isTerminal(std::FILE *stream);
