#include "commport.h"
