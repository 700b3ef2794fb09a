#include "installer_utils.h"
