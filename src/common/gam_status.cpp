#include "common/gam_status.h"

namespace qlm {

bool Gam_Listing_Ended(int iRunResult, int iExitStatus) {
    return iRunResult >= 0 && (iExitStatus == 0 || iExitStatus == kGamNoEntitiesStatus);
}

}  // namespace qlm
