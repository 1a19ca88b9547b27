// The public header must compile on its own as C++.
#include "kestrumr.h"
