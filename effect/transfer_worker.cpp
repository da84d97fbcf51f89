// Until the worker thread exists, every slate is merged on the calling
// thread: no split merge is started without a running worker.
#include "transfer_worker.h"

#include "lumatrice_effect.h"

int effect_count = 0;

void AttachTransferWorker() { ++effect_count; }
void DetachTransferWorker() { --effect_count; }
bool TransferWorkerAvailable() { return false; }

void LumatriceEffect::SplitTransfer(HDC, Bitmap*) {}
