#include "updater.h"
