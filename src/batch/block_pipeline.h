// The ordered pipeline of a run over an episode file: a serial stage reads
// the next block of records, a parallel stage works on blocks on every
// thread (each thread with its own state), and a serial stage finishes them
// in input order, so reading, work and writing overlap and what is finished
// is the same for any number of threads.  The batch run and compare run it.
//
// Workload: a few blocks of up to kPipelineRecords records go round; each is
// made once, before the first read, so the pipeline allocates nothing per
// record or per block.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "batch/handoff.h"
#include "batch/line_reader.h"
#include "record/record_layout.h"

namespace grouper {

inline constexpr size_t kPipelineBlockBytes = size_t{1} << 20;  // input read per block
inline constexpr size_t kPipelineRecords = 8192;               // records per block, however short

// What every block of the pipeline holds: the records read and the number
// of the first one (records are numbered from first_record across the input).
// Blocks of rows of named fields (see line_reader.h) make room for rows of
// up to kMaxRowBytes.
struct PipelineBlock {
  explicit PipelineBlock(size_t max_record = kMaxLineBytes) : input(kPipelineBlockBytes, max_record) {}
  RecordBlock input;
  int64_t first_number = 1;
  size_t count() const { return input.count(); }
};

// Record i of `block` as Engine::group takes it: in place, or, when shorter
// than a record, copied into `scratch` (kLineBufferSize bytes) and padded
// with blanks, so that what it does not hold reads as blanks, never as the
// record after it.
inline char* groupable_record(RecordBlock& block, size_t i, char* scratch) {
  const size_t len = block.record(i).size();
  char* line = block.record_data(i);
  if (len >= kRecordWidth) return line;
  std::memcpy(scratch, line, len);
  std::memset(scratch + len, ' ', kRecordWidth - len);
  return scratch;
}

// Runs the pipeline over `reader` on `threads` threads.
//   make_block()       -> std::unique_ptr<Block>, Block derived from PipelineBlock;
//   make_state()       -> the state of one thread (made on first use there);
//   admit()            -> bool, called in the read stage for each block read,
//                         before it goes on: false stops the run there;
//   work(Block&, State&)  on any thread;
//   finish(Block&)     -> bool, in input order: false stops the run.
// Stops at the end of the input, after a read error (reader.failed()) or
// when admit or finish say so; returns the records finished.
template <class Block, class MakeBlock, class MakeState, class Admit, class Work, class Finish>
int64_t run_block_pipeline(LineReader& reader, int threads, int64_t first_record, MakeBlock make_block,
                           MakeState make_state, Admit admit, Work work, Finish finish) {
  threads = std::max(1, threads);
  // Blocks in flight: a few per thread keep the reader, the workers and the
  // finishing stage busy at once.
  const size_t in_flight = 2 * static_cast<size_t>(threads) + 2;
  std::vector<std::unique_ptr<Block>> blocks;
  std::vector<Block*> free_blocks;
  std::mutex free_mutex;
  for (size_t i = 0; i < in_flight; ++i) {
    blocks.push_back(make_block());
    free_blocks.push_back(blocks.back().get());
  }
  auto take_block = [&] {
    std::lock_guard<std::mutex> lock(free_mutex);
    Block* b = free_blocks.back();
    free_blocks.pop_back();
    return b;
  };
  auto give_back = [&](Block* b) {
    std::lock_guard<std::mutex> lock(free_mutex);
    free_blocks.push_back(b);
  };

  using State = decltype(make_state());
  tbb::enumerable_thread_specific<State> states(make_state);
  int64_t records_read = 0;
  int64_t finished = 0;
  std::atomic<bool> stopped{false};  // set by a serial stage: nothing more is read or finished
  const int finish_token = 0;

  // Everything so far happens before the stages, and every stage before the end.
  hand_over(&reader);
  hand_over(&finish_token);
  tbb::task_arena arena(threads);
  arena.execute([&] {
    tbb::parallel_pipeline(
        in_flight,
        tbb::make_filter<void, Block*>(
            tbb::filter_mode::serial_in_order,
            [&](tbb::flow_control& fc) -> Block* {
              const StageTurn turn(&reader);
              Block* block = stopped ? nullptr : take_block();
              if (block && reader.read_block(block->input, kPipelineRecords) > 0) {
                if (!admit()) {
                  stopped = true;
                } else {
                  block->first_number = first_record + records_read;
                  records_read += static_cast<int64_t>(block->count());
                  hand_over(block);
                  return block;
                }
              }
              if (block) give_back(block);
              fc.stop();
              return nullptr;
            }) &
            tbb::make_filter<Block*, Block*>(tbb::filter_mode::parallel,
                                             [&](Block* block) {
                                               const StageTurn item(block);
                                               work(*block, states.local());
                                               return block;
                                             }) &
            tbb::make_filter<Block*, void>(tbb::filter_mode::serial_in_order, [&](Block* block) {
              const StageTurn turn(&finish_token);
              take_over(block);
              if (!stopped) {
                if (finish(*block)) finished += static_cast<int64_t>(block->count());
                else stopped = true;
              }
              give_back(block);
            }));
  });
  take_over(&reader);
  take_over(&finish_token);
  return finished;
}

}  // namespace grouper
