#include "publisher/delta_create.h"

#include "common/memory_guard.h"
#include "update/delta_patch.h"

#include <zlib.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace ovan {

namespace {

// Suffix positions and group numbers: 32 bits, which kDeltaMostFileSize keeps far from overflowing.
using Index = int32_t;

// Byte comparisons the matching may make for each byte of the two files, beyond a fixed allowance; well
// above what real programs need, it stops files built of long repeats from taking hours.
const uint64_t kWorkPerByte = 512;
const uint64_t kWorkAllowance = 64ull * 1024 * 1024;
// Zeros among changed bytes end the run of changed bytes from this many on.
const int64_t kZerosEndingChange = 3;
const size_t kDeflatePiece = 1024 * 1024;

// Sorts all suffixes of a text by doubling the compared prefix: each round orders the suffixes of every group
// that still shares its first h bytes by the group of the suffix h bytes further on. Groups are numbered by
// the index of their last member; a sorted run is marked in the order by its negated length.
class SuffixSorter {
public:
    SuffixSorter(const unsigned char* text, Index size) : text_(text), size_(size) {}

    void sort(std::vector<Index>& order)
    {
        order.assign(static_cast<size_t>(size_) + 1, 0);
        group_.assign(static_cast<size_t>(size_) + 1, 0);
        bucketByFirstByte(order);
        while (order[0] != -(size_ + 1)) {
            refineGroups(order);
            step_ += step_;
        }
        for (Index i = 0; i <= size_; ++i) {
            order[group_[i]] = i;
        }
    }

private:
    struct Range {
        Index start;
        Index length;
        bool settled;  // a group found: only its members' numbers are left to set
    };

    // The empty suffix comes first, alone; then every suffix in the bucket of its first byte, numbered by
    // the bucket's last index.
    void bucketByFirstByte(std::vector<Index>& order)
    {
        Index counts[256] = {};
        for (Index i = 0; i < size_; ++i) {
            ++counts[text_[i]];
        }
        Index starts[256] = {};
        Index next = 1;
        for (int byte = 0; byte < 256; ++byte) {
            starts[byte] = next;
            next += counts[byte];
        }
        Index filled[256] = {};
        for (Index i = 0; i < size_; ++i) {
            unsigned char byte = text_[i];
            order[starts[byte] + filled[byte]++] = i;
            group_[i] = starts[byte] + counts[byte] - 1;
        }
        group_[size_] = 0;
        order[0] = -1;
        for (int byte = 0; byte < 256; ++byte) {
            if (counts[byte] == 1) {
                order[starts[byte]] = -1;
            }
        }
    }

    void refineGroups(std::vector<Index>& order)
    {
        Index sortedRun = 0;
        Index i = 0;
        while (i <= size_) {
            if (order[i] < 0) {
                sortedRun -= order[i];
                i -= order[i];
                continue;
            }
            if (sortedRun > 0) {
                order[i - sortedRun] = -sortedRun;
            }
            Index length = group_[order[i]] + 1 - i;
            splitGroup(order, i, length);
            i += length;
            sortedRun = 0;
        }
        if (sortedRun > 0) {
            order[i - sortedRun] = -sortedRun;
        }
    }

    Index key(Index suffix) const { return group_[suffix + step_]; }

    // Three-way quicksort of one group by key; the smaller keys are settled before the larger ones are sorted.
    void splitGroup(std::vector<Index>& order, Index start, Index length)
    {
        pending_.push_back({start, length, false});
        while (!pending_.empty()) {
            Range range = pending_.back();
            pending_.pop_back();
            if (range.settled) {
                settle(order, range.start, range.length);
            } else if (range.length < 16) {
                sortSmall(order, range.start, range.length);
            } else {
                partition(order, range);
            }
        }
    }

    void partition(std::vector<Index>& order, Range range)
    {
        Index end = range.start + range.length;
        Index pivot = medianKey(order, range);
        Index less = range.start;
        Index greater = end;
        Index i = range.start;
        while (i < greater) {
            Index k = key(order[i]);
            if (k < pivot) {
                std::swap(order[less++], order[i++]);
            } else if (k > pivot) {
                std::swap(order[i], order[--greater]);
            } else {
                ++i;
            }
        }
        if (greater < end) {
            pending_.push_back({greater, end - greater, false});
        }
        pending_.push_back({less, greater - less, true});
        if (less > range.start) {
            pending_.push_back({range.start, less - range.start, false});
        }
    }

    Index medianKey(const std::vector<Index>& order, Range range) const
    {
        Index a = key(order[range.start]);
        Index b = key(order[range.start + range.length / 2]);
        Index c = key(order[range.start + range.length - 1]);
        return std::max(std::min(a, b), std::min(std::max(a, b), c));
    }

    void settle(std::vector<Index>& order, Index start, Index length)
    {
        for (Index k = start; k < start + length; ++k) {
            group_[order[k]] = start + length - 1;
        }
        if (length == 1) {
            order[start] = -1;
        }
    }

    // Repeatedly gathers the members with the smallest key at the front and settles them.
    void sortSmall(std::vector<Index>& order, Index start, Index length)
    {
        Index end = start + length;
        Index gathered = 0;
        for (Index k = start; k < end; k += gathered) {
            gathered = 1;
            Index smallest = key(order[k]);
            for (Index i = k + 1; i < end; ++i) {
                Index next = key(order[i]);
                if (next < smallest) {
                    smallest = next;
                    std::swap(order[k], order[i]);
                    gathered = 1;
                } else if (next == smallest) {
                    std::swap(order[k + gathered], order[i]);
                    ++gathered;
                }
            }
            settle(order, k, gathered);
        }
    }

    const unsigned char* text_;
    Index size_;
    Index step_ = 1;
    std::vector<Index> group_;
    std::vector<Range> pending_;
};

// The patch's bytes: the header as it is, the blocks through deflate at zlib's strongest level.
class PatchWriter {
public:
    PatchWriter(ByteBuffer& patch, uint64_t oldSize, uint64_t newSize) : patch_(patch)
    {
        patch_.assign(kDeltaMagic, kDeltaMagic + sizeof kDeltaMagic);
        littleEndian(kDeltaFormatVersion, 4);
        littleEndian(oldSize, 8);
        littleEndian(newSize, 8);
        ready_ = deflateInit(&stream_, Z_BEST_COMPRESSION) == Z_OK;
        pending_.reserve(kDeflatePiece);
    }
    ~PatchWriter()
    {
        if (ready_) {
            deflateEnd(&stream_);
        }
    }
    PatchWriter(const PatchWriter&) = delete;
    PatchWriter& operator=(const PatchWriter&) = delete;

    bool ready() const { return ready_; }

    void byte(unsigned char value)
    {
        pending_.push_back(value);
        if (pending_.size() == kDeflatePiece) {
            deflatePending(Z_NO_FLUSH);
        }
    }

    void varint(uint64_t value)
    {
        while (value >= 0x80) {
            byte(static_cast<unsigned char>(value | 0x80));
            value >>= 7;
        }
        byte(static_cast<unsigned char>(value));
    }

    void finish() { deflatePending(Z_FINISH); }

private:
    void littleEndian(uint64_t value, int count)
    {
        for (int i = 0; i < count; ++i) {
            patch_.push_back(static_cast<unsigned char>(value >> (8 * i)));
        }
    }

    void deflatePending(int flush)
    {
        stream_.next_in = pending_.data();
        stream_.avail_in = static_cast<uInt>(pending_.size());
        int result = Z_OK;
        do {
            unsigned char out[64 * 1024];
            stream_.next_out = out;
            stream_.avail_out = sizeof out;
            result = deflate(&stream_, flush);
            patch_.insert(patch_.end(), out, out + (sizeof out - stream_.avail_out));
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        pending_.clear();
    }

    ByteBuffer& patch_;
    z_stream stream_ = {};
    bool ready_ = false;
    ByteBuffer pending_;
};

struct Match {
    int64_t length = 0;
    int64_t position = 0;
};

// Walks the new file, finding for each stretch an alignment with the old file that matches most of it; the
// stretch becomes a block whose add bytes are mostly zero, and what no alignment covers is copied.
class Matcher {
public:
    Matcher(const ByteBuffer& oldBytes, const ByteBuffer& newBytes, const std::vector<Index>& suffixes,
            PatchWriter& writer)
        : old_(oldBytes.data()), new_(newBytes.data()), oldSize_(static_cast<int64_t>(oldBytes.size())),
          newSize_(static_cast<int64_t>(newBytes.size())), suffixes_(suffixes), writer_(writer),
          budget_(kWorkAllowance + kWorkPerByte * (oldBytes.size() + newBytes.size()))
    {
    }

    bool run()
    {
        int64_t scan = 0;
        Match match;
        while (scan < newSize_) {
            int64_t oldScore = 0;
            scan += match.length;
            int64_t scored = scan;
            for (; scan < newSize_; ++scan) {
                match = search(scan);
                for (; scored < scan + match.length; ++scored) {
                    oldScore += alignedEqual(scored) ? 1 : 0;
                }
                if ((match.length == oldScore && match.length != 0) || match.length > oldScore + 8) {
                    break;
                }
                oldScore -= alignedEqual(scan) ? 1 : 0;
                if (work_ > budget_) {
                    return false;
                }
            }
            if (match.length != oldScore || scan == newSize_) {
                block(scan, match);
            }
        }
        return work_ <= budget_;
    }

private:
    // Whether the new byte at i equals the old byte under it in the last alignment.
    bool alignedEqual(int64_t i) const
    {
        int64_t at = i + lastOffset_;
        return at >= 0 && at < oldSize_ && old_[at] == new_[i];
    }

    int64_t commonLength(int64_t oldAt, int64_t newAt, int64_t from)
    {
        int64_t k = from;
        while (oldAt + k < oldSize_ && newAt + k < newSize_ && old_[oldAt + k] == new_[newAt + k]) {
            ++k;
        }
        work_ += static_cast<uint64_t>(k - from) + 1;
        return k;
    }

    // The longest prefix of the new file at scan found anywhere in the old one. The bytes both ends of the
    // search interval share with it are shared by everything between, so they are not compared again.
    Match search(int64_t scan)
    {
        size_t low = 0;
        size_t high = static_cast<size_t>(oldSize_);
        int64_t lowLength = commonLength(suffixes_[low], scan, 0);
        int64_t highLength = commonLength(suffixes_[high], scan, 0);
        while (high - low > 1) {
            size_t middle = low + (high - low) / 2;
            int64_t at = suffixes_[middle];
            int64_t length = commonLength(at, scan, std::min(lowLength, highLength));
            bool oldFirst = at + length == oldSize_ ||
                            (scan + length < newSize_ && old_[at + length] < new_[scan + length]);
            if (oldFirst) {
                low = middle;
                lowLength = length;
            } else {
                high = middle;
                highLength = length;
            }
        }
        if (lowLength > highLength) {
            return {lowLength, suffixes_[low]};
        }
        return {highLength, suffixes_[high]};
    }

    // How far the last alignment carries forward from lastScan_: as long as more than half of it matches.
    int64_t forwardLength(int64_t scan) const
    {
        int64_t matched = 0;
        int64_t best = 0;
        int64_t length = 0;
        for (int64_t i = 0; lastScan_ + i < scan && lastPos_ + i < oldSize_;) {
            matched += old_[lastPos_ + i] == new_[lastScan_ + i] ? 1 : 0;
            ++i;
            if (matched * 2 - i > best * 2 - length) {
                best = matched;
                length = i;
            }
        }
        return length;
    }

    // How far the new alignment reaches back from scan, by the same measure.
    int64_t backwardLength(int64_t scan, int64_t position) const
    {
        int64_t matched = 0;
        int64_t best = 0;
        int64_t length = 0;
        for (int64_t i = 1; scan >= lastScan_ + i && position >= i; ++i) {
            matched += old_[position - i] == new_[scan - i] ? 1 : 0;
            if (matched * 2 - i > best * 2 - length) {
                best = matched;
                length = i;
            }
        }
        return length;
    }

    // Where both reaches overlap, the boundary goes where the two alignments' matches balance best.
    void splitOverlap(int64_t scan, int64_t position, int64_t& forward, int64_t& backward) const
    {
        int64_t overlap = (lastScan_ + forward) - (scan - backward);
        if (overlap <= 0) {
            return;
        }
        int64_t score = 0;
        int64_t best = 0;
        int64_t kept = 0;
        for (int64_t i = 0; i < overlap; ++i) {
            score += new_[lastScan_ + forward - overlap + i] == old_[lastPos_ + forward - overlap + i] ? 1 : 0;
            score -= new_[scan - backward + i] == old_[position - backward + i] ? 1 : 0;
            if (score > best) {
                best = score;
                kept = i + 1;
            }
        }
        forward += kept - overlap;
        backward -= kept;
    }

    void block(int64_t scan, const Match& match)
    {
        int64_t forward = forwardLength(scan);
        int64_t backward = scan < newSize_ ? backwardLength(scan, match.position) : 0;
        splitOverlap(scan, match.position, forward, backward);
        work_ += static_cast<uint64_t>(scan - lastScan_) * 2;
        int64_t copied = scan - backward - (lastScan_ + forward);
        if (forward > 0 || copied > 0) {
            int64_t seek = lastPos_ - oldCursor_;
            writer_.varint(seek >= 0 ? static_cast<uint64_t>(seek) * 2 : static_cast<uint64_t>(-seek) * 2 - 1);
            writer_.varint(static_cast<uint64_t>(forward));
            writer_.varint(static_cast<uint64_t>(copied));
            addSection(forward);
            for (int64_t i = lastScan_ + forward; i < scan - backward; ++i) {
                writer_.byte(new_[i]);
            }
            oldCursor_ = lastPos_ + forward;
        }
        lastScan_ = scan - backward;
        lastPos_ = match.position - backward;
        lastOffset_ = match.position - scan;
    }

    unsigned char added(int64_t i) const
    {
        return static_cast<unsigned char>(new_[lastScan_ + i] - old_[lastPos_ + i]);
    }

    int64_t zerosFrom(int64_t i, int64_t end) const
    {
        int64_t from = i;
        while (i < end && added(i) == 0) {
            ++i;
        }
        return i - from;
    }

    // Runs of zeros as counts, the changed bytes between them as they are.
    void addSection(int64_t length)
    {
        int64_t i = 0;
        while (i < length) {
            int64_t unchanged = zerosFrom(i, length);
            int64_t changedFrom = i + unchanged;
            int64_t changedEnd = changedFrom;
            while (changedEnd < length) {
                int64_t zeros = zerosFrom(changedEnd, length);
                if (zeros >= kZerosEndingChange || changedEnd + zeros == length) {
                    break;
                }
                changedEnd += zeros + 1;
            }
            writer_.varint(static_cast<uint64_t>(unchanged));
            writer_.varint(static_cast<uint64_t>(changedEnd - changedFrom));
            for (int64_t k = changedFrom; k < changedEnd; ++k) {
                writer_.byte(added(k));
            }
            i = changedEnd;
        }
    }

    const unsigned char* old_;
    const unsigned char* new_;
    int64_t oldSize_;
    int64_t newSize_;
    const std::vector<Index>& suffixes_;
    PatchWriter& writer_;
    uint64_t budget_;
    uint64_t work_ = 0;
    int64_t lastScan_ = 0;
    int64_t lastPos_ = 0;
    int64_t lastOffset_ = 0;
    int64_t oldCursor_ = 0;
};

bool createChecked(const ByteBuffer& oldBytes, const ByteBuffer& newBytes, ByteBuffer& patch,
                   std::wstring& errorText)
{
    std::vector<Index> suffixes;
    SuffixSorter(oldBytes.data(), static_cast<Index>(oldBytes.size())).sort(suffixes);
    PatchWriter writer(patch, oldBytes.size(), newBytes.size());
    if (!writer.ready()) {
        errorText = L"Za mało pamięci, aby utworzyć poprawkę.";
        return false;
    }
    if (!Matcher(oldBytes, newBytes, suffixes, writer).run()) {
        errorText = L"Pliki składają się z długich powtórzeń; dopasowanie ich trwałoby zbyt długo.";
        return false;
    }
    writer.finish();
    return true;
}

}  // namespace

bool createDeltaPatch(const ByteBuffer& oldBytes, const ByteBuffer& newBytes, ByteBuffer& patch,
                      std::wstring& errorText)
{
    if (oldBytes.size() > kDeltaMostFileSize || newBytes.size() > kDeltaMostFileSize) {
        errorText = L"Plik jest większy niż 256 MiB.";
        return false;
    }
    bool created = false;
    if (!withinMemory([&] { created = createChecked(oldBytes, newBytes, patch, errorText); })) {
        errorText = L"Za mało pamięci, aby utworzyć poprawkę.";
        return false;
    }
    return created;
}

}  // namespace ovan
