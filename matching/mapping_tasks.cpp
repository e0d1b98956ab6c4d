#include "matching/matching.h"
