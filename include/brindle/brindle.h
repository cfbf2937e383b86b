// SPDX-License-Identifier: MIT
// The one include a host needs: every public header of the library except two kinds, which
// a host includes by name when it wants them:
//  - brindle/Debg.h, the failure-injection hooks, which are for tests only;
//  - brindle/containers/XPoint.h and XRect.h, the geometry types. Xlib has an XPoint of its
//    own, so a host that uses Xlib includes this header beside <X11/Xlib.h>, in either
//    order, and leaves those two out.
#ifndef BRINDLE_BRINDLE_H_
#define BRINDLE_BRINDLE_H_

#include "brindle/Export.h"

#include "brindle/containers/XList.h"
#include "brindle/containers/XRefList.h"
#include "brindle/containers/XSortedList.h"
#include "brindle/containers/XStrList.h"
#include "brindle/containers/XString.h"

#include "brindle/serialization/XAKeyBlob.h"
#include "brindle/serialization/XInput.h"
#include "brindle/serialization/XOutput.h"
#include "brindle/serialization/XSepStrRecorder.h"
#include "brindle/serialization/XSepStrResolver.h"
#include "brindle/serialization/XStore.h"
#include "brindle/serialization/XStoreEntry.h"
#include "brindle/serialization/XStoreReader.h"
#include "brindle/serialization/XStoreRecord.h"
#include "brindle/serialization/XStoreType.h"
#include "brindle/serialization/XStrStream.h"

#include "brindle/blockfile/PortablePath.h"
#include "brindle/blockfile/XBlockFile.h"
#include "brindle/blockfile/XBlockFileCheck.h"

#include "brindle/concurrency/OSBootTime.h"
#include "brindle/concurrency/XLocker.h"
#include "brindle/concurrency/XTSObject.h"
#include "brindle/concurrency/XThread.h"

#include "brindle/net/SoftSignalMgr.h"
#include "brindle/net/XSocketHandler.h"
#include "brindle/net/XSocketMgr.h"

#endif  // BRINDLE_BRINDLE_H_
