// The public headers must compile on their own as C++.
#include "kestrumr.h"
#include "kestrumr_session.h"
#include "kestrumr_analysis.h"
