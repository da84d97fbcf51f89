// The process-wide transfer worker that merges the upper half of a slate
// while the apply thread merges the lower half, and the objects it shares
// with SplitTransfer. Created by the first effect object, released by the
// last; only the host's thread attaches and detaches.
#pragma once

// Counts an effect object; the first one starts the worker.
void AttachTransferWorker();
// Uncounts an effect object; the last one stops the worker and releases
// every shared object.
void DetachTransferWorker();
// True while a worker is running, so that a split merge can be started.
// When it could not be made, slates are merged on the calling thread.
bool TransferWorkerAvailable();
