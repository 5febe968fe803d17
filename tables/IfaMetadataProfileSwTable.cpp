#include "tables/IfaMetadataProfileSwTable.h"
#include "runtime/TableModuleImpl.h"

IFA_SW_TABLE_MODULE(IfaMetadataProfile, ifaMetadataProfileFactory)
