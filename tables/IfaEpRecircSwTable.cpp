#include "tables/IfaEpRecircSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaEpRecirc, ifaEpRecircFactory)
