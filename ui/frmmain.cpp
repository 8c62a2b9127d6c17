#include "frmmain.h"
