#include "tables/IfaMetadataProfileSwTable.h"

template class IfaRuntime::IfaSwTable<CorvaneInt::decl::IfaMetadataProfile>;
