#include "tables/IfaVectorMatchSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaVectorMatch, ifaVectorMatchFactory)
