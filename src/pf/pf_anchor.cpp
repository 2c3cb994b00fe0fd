#include "pf/pf_anchor.h"
