// The one include a host needs: every public header of the library.
#ifndef BRINDLE_BRINDLE_H_
#define BRINDLE_BRINDLE_H_

#include "brindle/Debg.h"
#include "brindle/Export.h"

#include "brindle/containers/XList.h"
#include "brindle/containers/XPoint.h"
#include "brindle/containers/XRect.h"
#include "brindle/containers/XStrList.h"
#include "brindle/containers/XString.h"

#include "brindle/concurrency/OSBootTime.h"
#include "brindle/concurrency/XLocker.h"
#include "brindle/concurrency/XThread.h"

#endif  // BRINDLE_BRINDLE_H_
