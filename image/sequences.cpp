#include "sequences.h"
