// The release the simulated chip's plug-in is built for: the one of the
// headers it is built with.
#include "host/ChipPlugin.h"

IFA_CHIP_PLUGIN_RELEASE(IFA_SWTABLES_VERSION);
