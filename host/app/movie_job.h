// Renders and stamps whose output or input is a movie: the output's checks,
// the movie writer around the pipeline, and stamping a movie's pictures.
#pragma once

#include <string>
#include <vector>

#include "commands.h"
#include "manifest.h"
#include "pipeline.h"

namespace lumatrice {

// The output of a run: a movie (one file, codec and container checked) or
// a frame pattern (ParseOutput). kUsage when it is no valid output.
Status ParseJobOutput(const JobArgs& args, const std::vector<int>& frames, SequencePattern& out);

// What the manifest records of a movie output under run.movie (null for a
// sequence): codec, profile, whether every frame is coded alone, and the
// movie whose other streams the output copies.
Json MovieRunJson(const JobArgs& args, const std::string& output);

// RunPipeline, with the frames going into a movie when the output is one;
// the movie is in place only when the result is neither failed nor
// cancelled (otherwise nothing was written under its name).
PipelineResult RunPipelineToOutput(HostSession& host, const JobArgs& args,
                                   PipelineOptions options, FrameSource& source,
                                   CancelFlags& cancel, PipelineObserver* observer);

// `lumatrice stamp plate.mov ...`: the movie's pictures, numbered from
// --render-start (default 1), stamped into a movie or a sequence.
int RunStampMovie(HostSession& host, const JobArgs& args);

}  // namespace lumatrice
