// The process-wide transfer worker that merges the upper half of a slate
// while the apply thread merges the lower half, and the objects it shares
// with SplitTransfer. Created by the first effect object, released by the
// last; only the host's thread attaches and detaches.
#pragma once

#include <thread>

#include "host_sdk.h"
#include "win_gdi.h"

// The one job record. Written only by the owner of job_mutex before it wakes
// the worker; read by the worker only until it signals done.
struct TransferJob {
  HDC raster_dc;   // not owned
  Bitmap* bitmap;  // not owned
  int first_row;   // always 0
  int last_row;    // inclusive: height / 2
};

extern TransferJob transfer_job;
extern int effect_count;

// Counts an effect object; the first one starts the worker.
void AttachTransferWorker();
// Uncounts an effect object; the last one stops the worker and releases
// every shared object.
void DetachTransferWorker();
// True while a worker is running, so that a split merge can be started.
// When it could not be made, slates are merged on the calling thread.
bool TransferWorkerAvailable();

// Entry of the worker thread: one job per start signal until told to stop.
void TransferWorkerMain();

// ---- for tests ------------------------------------------------------------

// Makes worker starts, or the worker's jobs, fail at the named step; stays in
// force until set back to none.
enum class WorkerFault {
  none,
  start_event,
  done_event,
  job_mutex,
  raster_lock,
  thread,
  worker_row_buffers,  // every job the worker runs, until cleared
};
void SetTransferWorkerFault(WorkerFault fault);

// Workers started since the process began; a fresh start counts anew.
int TransferWorkerGeneration();
// Worker threads currently inside TransferWorkerMain (0 or 1).
int TransferWorkersAlive();
// Identifier of the running worker; default-constructed when none runs.
std::thread::id TransferWorkerThreadId();
// Shared objects in existence: both events, job_mutex, raster_lock and the
// worker thread (0 to 5).
int TransferWorkerObjectsHeld();
// Split merges blocked at their wait for job_mutex right now.
int SplitMergesWaiting();
