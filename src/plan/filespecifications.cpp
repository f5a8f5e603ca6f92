#include "plan/filespecifications.h"

void FileSpecifications::clear()
{
    downloads.clear();
    replaces.clear();
    deletes.clear();
}
