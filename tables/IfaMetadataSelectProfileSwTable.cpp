#include "tables/IfaMetadataSelectProfileSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaMetadataSelectProfile>;
