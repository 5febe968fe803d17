#include "tables/IfaSflowIngSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaSflowIngSwTable, ifaSflowIngSwTableFactory)
