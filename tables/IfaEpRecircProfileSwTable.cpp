#include "tables/IfaEpRecircProfileSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaEpRecircProfile, ifaEpRecircProfileFactory)
