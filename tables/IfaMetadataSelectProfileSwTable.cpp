#include "tables/IfaMetadataSelectProfileSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaMetadataSelectProfile, ifaMetadataSelectProfileFactory)
