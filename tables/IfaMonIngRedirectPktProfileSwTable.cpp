#include "tables/IfaMonIngRedirectPktProfileSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaMonIngRedirectPktProfile, ifaMonIngRedirectPktProfileFactory)
