#include "tables/IfaTimeOfDaySwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaTimeOfDay, ifaTimeOfDayFactory)
