// The release tag of the tests' chip plug-in built for another release.
#include "host/ChipPlugin.h"

IFA_CHIP_PLUGIN_RELEASE("99.0.0");
