// Exact matches are found through the suffix array, preferring to stay on the diagonal of
// the previous match (an edited block keeps its place, so its next bytes usually match
// there). Matches on one diagonal separated by a few changed bytes are joined, as those
// bytes cost less as differences than as literals plus another cover. Finally each cover
// is stretched into the gaps beside it while old and new still mostly agree.
#include "cover_search.h"

#include <algorithm>

namespace ota::hdiff {
namespace {

// A match on a new diagonal must pay for its cover record (about six bytes).
constexpr uint64_t kMinNewMatch = 12;
// Staying on the current diagonal costs almost nothing, so short runs count there.
constexpr uint64_t kMinSameDiagonal = 4;
// Longest prefix compared per suffix-array probe; longer matches are extended directly.
constexpr size_t kMaxProbe = 1 << 12;
// Differences joined into one cover across a gap of at most this many bytes.
constexpr uint64_t kMaxJoinGap = 24;

class Searcher {
 public:
  Searcher(std::span<const uint8_t> old_data, std::span<const uint8_t> new_data,
           const SuffixArray& index)
      : old_(old_data), new_(new_data), index_(index) {}

  std::vector<Cover> run() {
    uint64_t i = 0;
    while (i < new_.size()) {
      const uint64_t taken = try_same_diagonal(i);
      if (taken != 0) {
        i += taken;
        continue;
      }
      const Match match = index_.longest(new_.subspan(i), kMaxProbe);
      if (match.length < kMinNewMatch) {
        ++i;
        continue;
      }
      const uint64_t resumed = try_resume_diagonal(i, match);
      if (resumed != 0) {
        i = resumed;
        continue;
      }
      const uint64_t length = match.length + extend(i + match.length, match.old_pos + match.length);
      add(Cover{match.old_pos, i, length});
      i += length;
    }
    return std::move(covers_);
  }

 private:
  uint64_t extend(uint64_t new_pos, uint64_t old_pos) const {
    if (old_pos >= old_.size() || new_pos >= new_.size()) {
      return 0;
    }
    return common_prefix(old_.data() + old_pos, new_.data() + new_pos,
                         std::min(old_.size() - old_pos, new_.size() - new_pos));
  }

  // The run at i on the previous cover's diagonal, when it is long enough to keep.
  uint64_t try_same_diagonal(uint64_t i) {
    if (covers_.empty()) {
      return 0;
    }
    const Cover& last = covers_.back();
    const uint64_t old_pos = last.old_pos + (i - last.new_pos);
    const uint64_t run = extend(i, old_pos);
    if (run < kMinSameDiagonal) {
      return 0;
    }
    add(Cover{old_pos, i, run});
    return run;
  }

  // After a few changed bytes the previous diagonal often goes on; returning to it beats
  // a match elsewhere that is not clearly longer. Returns where the scan goes on, or 0.
  uint64_t try_resume_diagonal(uint64_t i, const Match& match) {
    if (covers_.empty()) {
      return 0;
    }
    const Cover& last = covers_.back();
    if (match.old_pos - i == last.old_pos - last.new_pos) {
      return 0;
    }
    const uint64_t limit = std::min<uint64_t>(new_.size(), i + kMaxJoinGap);
    for (uint64_t j = i + 1; j < limit; ++j) {
      const uint64_t old_pos = last.old_pos + (j - last.new_pos);
      const uint64_t run = extend(j, old_pos);
      if (run >= kMinSameDiagonal) {
        if ((j - i) + run + kMinNewMatch < match.length) {
          return 0;
        }
        add(Cover{old_pos, j, run});
        return j + run;
      }
    }
    return 0;
  }

  void add(const Cover& cover) {
    if (!covers_.empty()) {
      Cover& last = covers_.back();
      if (last.same_diagonal(cover) && cover.new_pos - last.new_end() <= kMaxJoinGap) {
        last.length = cover.new_end() - last.new_pos;
        return;
      }
    }
    covers_.push_back(cover);
  }

  std::span<const uint8_t> old_;
  std::span<const uint8_t> new_;
  const SuffixArray& index_;
  std::vector<Cover> covers_;
};

// How far a cover can grow forward from (new_pos, old_pos) into at most room bytes while
// matching bytes outnumber differing ones.
uint64_t grow_forward(std::span<const uint8_t> old_data, std::span<const uint8_t> new_data,
                      uint64_t new_pos, uint64_t old_pos, uint64_t room) {
  room = std::min(room, old_data.size() - std::min<uint64_t>(old_pos, old_data.size()));
  int64_t score = 0;
  int64_t best_score = 0;
  uint64_t best = 0;
  for (uint64_t k = 0; k < room; ++k) {
    score += old_data[old_pos + k] == new_data[new_pos + k] ? 1 : -2;
    if (score > best_score) {
      best_score = score;
      best = k + 1;
    }
    if (score < best_score - 64) {
      break;
    }
  }
  return best;
}

uint64_t grow_backward(std::span<const uint8_t> old_data, std::span<const uint8_t> new_data,
                       uint64_t new_pos, uint64_t old_pos, uint64_t room) {
  room = std::min(room, old_pos);
  int64_t score = 0;
  int64_t best_score = 0;
  uint64_t best = 0;
  for (uint64_t k = 1; k <= room; ++k) {
    score += old_data[old_pos - k] == new_data[new_pos - k] ? 1 : -2;
    if (score > best_score) {
      best_score = score;
      best = k;
    }
    if (score < best_score - 64) {
      break;
    }
  }
  return best;
}

void grow_into_gaps(std::span<const uint8_t> old_data, std::span<const uint8_t> new_data,
                    std::vector<Cover>& covers) {
  uint64_t prev_end = 0;
  for (size_t i = 0; i < covers.size(); ++i) {
    Cover& cover = covers[i];
    const uint64_t back =
        grow_backward(old_data, new_data, cover.new_pos, cover.old_pos, cover.new_pos - prev_end);
    cover.new_pos -= back;
    cover.old_pos -= back;
    cover.length += back;
    const uint64_t next_start = i + 1 < covers.size() ? covers[i + 1].new_pos : new_data.size();
    const uint64_t forward = grow_forward(old_data, new_data, cover.new_end(), cover.old_end(),
                                          next_start - cover.new_end());
    cover.length += forward;
    prev_end = cover.new_end();
  }
}

// Growing can close a gap between covers of one diagonal; one record then suffices.
std::vector<Cover> join_touching(const std::vector<Cover>& covers) {
  std::vector<Cover> joined;
  for (const Cover& cover : covers) {
    if (!joined.empty() && joined.back().same_diagonal(cover) &&
        joined.back().new_end() == cover.new_pos) {
      joined.back().length += cover.length;
    } else if (cover.length > 0) {
      joined.push_back(cover);
    }
  }
  return joined;
}

}  // namespace

std::vector<Cover> find_covers(std::span<const uint8_t> old_data, std::span<const uint8_t> new_data,
                               const SuffixArray& index) {
  std::vector<Cover> covers = Searcher(old_data, new_data, index).run();
  grow_into_gaps(old_data, new_data, covers);
  return join_touching(covers);
}

}  // namespace ota::hdiff
