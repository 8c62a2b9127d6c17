#include "portnumber.h"
