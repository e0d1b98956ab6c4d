#include "lut/lut.h"
