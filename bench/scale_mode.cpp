#include "bench/scale_mode.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "bench/data_set.h"
#include "bench/measure.h"
#include "engine/folder_tree.h"

namespace {

const wchar_t* const kWords[] = {L"report", L"Invoice", L"photo",  L"IMG",  L"notes",  L"draft",
                                 L"Budget", L"scan",    L"letter", L"data", L"Backup", L"summary"};
const wchar_t* const kExtensions[] = {L".txt", L".docx", L".jpg", L".csv", L".pdf", L".dat"};
constexpr uint32_t kFilesPerFolder = 1000;
constexpr uint32_t kSources = 3;

// A bijection of 32-bit numbers: distinct indexes give distinct names, in an
// order unrelated to the index.
uint32_t scramble(uint32_t x) {
  x *= 0x9E3779B1u;
  x ^= x >> 15;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  return x;
}

// The name of index i, written into `buffer` (40 units); returns its length.
size_t makeName(uint32_t i, wchar_t* buffer) {
  uint32_t x = scramble(i);
  size_t n = 0;
  for (const wchar_t* w = kWords[x % 12]; *w; ++w) buffer[n++] = *w;
  buffer[n++] = L'_';
  for (int shift = 28; shift >= 0; shift -= 4) buffer[n++] = L"0123456789ABCDEF"[(x >> shift) & 15];
  for (const wchar_t* e = kExtensions[(x >> 8) % 6]; *e; ++e) buffer[n++] = *e;
  return n;
}

// In how many sources name i is met, starting at source i % 3.
uint32_t copiesOf(uint32_t i, const ScaleRequest& request) {
  uint64_t h = Random(request.seed * 0x100000001ull + i).next();
  if (static_cast<double>(h % 1000000) >= request.sharedShare * 1000000) return 1;
  return 2 + static_cast<uint32_t>((h >> 32) % (kSources - 1));
}

bool inSource(uint32_t i, uint32_t source, uint32_t copies) {
  return (source + kSources - i % kSources) % kSources < copies;
}

struct Pass {
  double seconds = 0, addSeconds = 0, finishSeconds = 0;
  uint64_t copies = 0;
  size_t entries = 0;
  int64_t countSum = 0;
  bool sorted = true;
};

// One folder's names as the enumeration hands them over.
class FolderBatch {
 public:
  void add(uint32_t index) {
    Name n;
    n.length = makeName(index, n.text);
    n.index = index;
    names_.push_back(n);
  }
  size_t size() const { return names_.size(); }
  // Names in name order, as a sorted enumeration delivers them, or as made.
  void arrange(bool nameOrder) {
    if (nameOrder)
      std::sort(names_.begin(), names_.end(), [](const Name& a, const Name& b) {
        return compareNames({a.text, a.length}, {b.text, b.length}) < 0;
      });
  }
  template <typename Visit>
  void each(Visit visit) const {
    for (const Name& n : names_) visit(std::wstring_view(n.text, n.length), n.index);
  }
  void clear() { names_.clear(); }

 private:
  struct Name {
    wchar_t text[40];
    size_t length;
    uint32_t index;
  };
  std::vector<Name> names_;
};

// Every copy in the order a scan would add it: source after source, folders
// of kFilesPerFolder copies, each folder's names in the order the
// enumeration gives them, and a path per folder.  Made once, before any
// timing, so the timed passes measure the tree alone.
struct FeedScript {
  std::vector<wchar_t> text;
  std::vector<uint32_t> offsets;  // of each copy's name in text; one more at the end
  std::vector<uint64_t> times;
  std::vector<uint32_t> folderStarts;  // first copy of each folder; one more at the end
  std::vector<std::wstring> folderPaths;

  size_t copies() const { return times.size(); }
  std::wstring_view name(size_t copy) const {
    return {text.data() + offsets[copy], offsets[copy + 1] - offsets[copy]};
  }
};

FeedScript makeScript(const ScaleRequest& request, const std::vector<uint8_t>& copies) {
  FeedScript script;
  FolderBatch batch;
  auto flush = [&](uint32_t source) {
    if (batch.size() == 0) return;
    batch.arrange(!request.randomOrder);
    uint32_t folderNumber = static_cast<uint32_t>(script.folderPaths.size()) + 1;
    script.folderStarts.push_back(static_cast<uint32_t>(script.times.size()));
    script.folderPaths.push_back(
        formatText(L"Z:\\tmp\\ostrelle-bench\\scale\\s%u\\dir%02u\\dir%05u", source + 1,
                   folderNumber % 16, folderNumber));
    batch.each([&](std::wstring_view name, uint32_t index) {
      script.offsets.push_back(static_cast<uint32_t>(script.text.size()));
      script.text.insert(script.text.end(), name.begin(), name.end());
      script.times.push_back(Random(index * 4ull + source).next() >> 8);
    });
    batch.clear();
  };
  for (uint32_t source = 0; source < kSources; ++source) {
    for (uint32_t i = 0; i < request.names; ++i) {
      if (!inSource(i, source, copies[i])) continue;
      batch.add(i);
      if (batch.size() == kFilesPerFolder) flush(source);
    }
    flush(source);
  }
  script.offsets.push_back(static_cast<uint32_t>(script.text.size()));
  script.folderStarts.push_back(static_cast<uint32_t>(script.times.size()));
  return script;
}

Pass feed(const FeedScript& script) {
  Pass pass;
  FolderTree tree;
  double start = nowSeconds();
  for (size_t f = 0; f + 1 < script.folderStarts.size(); ++f) {
    const ScannedFolder* folder = tree.storeFolder(script.folderPaths[f]);
    for (size_t c = script.folderStarts[f]; c < script.folderStarts[f + 1]; ++c)
      addFileCopy(tree, tree.root(), folder, script.name(c), script.times[c]);
  }
  double added = nowSeconds();
  finishScan(tree);
  double finished = nowSeconds();
  pass.copies = script.copies();
  pass.addSeconds = added - start;
  pass.finishSeconds = finished - added;
  pass.seconds = finished - start;
  const auto& files = tree.root().files;
  pass.entries = files.size();
  for (size_t k = 0; k < files.size(); ++k) {
    pass.countSum += files[k].sourceCount;
    if (k > 0 && compareNames(files[k - 1].nameView(), files[k].nameView()) >= 0)
      pass.sorted = false;
  }
  return pass;
}

// What one read of an entry costs when the entries are visited in a random
// order, as the last passes of a merge visit them: the node's own size
// decides whether they come from the processor's cache or from memory.
double randomReadSeconds(size_t count, uint32_t seed) {
  std::vector<FileEntry> entries(count);
  for (size_t i = 0; i < count; ++i) entries[i].compareTime = i;
  std::vector<uint32_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
  Random random(seed);
  for (size_t i = count; i > 1; --i)
    std::swap(order[i - 1], order[random.below(static_cast<uint32_t>(i))]);
  std::vector<double> runs;
  uint64_t sum = 0;
  for (int r = 0; r < 5; ++r) {
    double start = nowSeconds();
    for (uint32_t at : order) sum += entries[at].compareTime;
    runs.push_back((nowSeconds() - start) / static_cast<double>(count));
  }
  return sum == 0 ? 0 : *std::min_element(runs.begin(), runs.end());
}

// The least disturbed of several runs: on a shared machine every other
// figure carries the neighbours' load.
double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int runScaleChild(const ScaleRequest& request, const std::wstring& resultPath) {
  std::vector<uint8_t> copies(request.names);
  uint64_t totalCopies = 0;
  for (uint32_t i = 0; i < request.names; ++i) totalCopies += copies[i] = copiesOf(i, request);
  const FeedScript script = makeScript(request, copies);

  // The first pass gives the peak memory of the tree alone: everything else
  // the process holds is resident before it starts.
  MemoryCounters before = readMemoryCounters();
  Pass first = feed(script);
  MemoryCounters afterFirst = readMemoryCounters();

  std::vector<double> total{first.seconds}, add{first.addSeconds}, finish{first.finishSeconds};
  double cpuStart = threadCpuSeconds();
  for (uint32_t r = 1; r < request.repeats; ++r) {
    Pass p = feed(script);
    total.push_back(p.seconds);
    add.push_back(p.addSeconds);
    finish.push_back(p.finishSeconds);
  }
  double cpu = threadCpuSeconds() - cpuStart;

  ResultFile result;
  result.set("names", request.names);
  result.set("copies", static_cast<double>(totalCopies));
  result.set("entries", static_cast<double>(first.entries));
  result.set("count_sum", static_cast<double>(first.countSum));
  result.set("sorted", first.sorted ? 1 : 0);
  result.set("total_s", best(total));
  result.set("add_s", best(add));
  result.set("finish_s", best(finish));
  // Processor time of the repeats after the first: a second view that the
  // neighbours' load leaves mostly alone.
  result.set("cpu_s", request.repeats > 1 ? cpu / (request.repeats - 1) : 0);
  result.set("base_ws", static_cast<double>(before.workingSet));
  result.set("peak_ws", static_cast<double>(afterFirst.peakWorkingSet));
  result.set("random_read_s", randomReadSeconds(script.copies(), request.seed));
  return result.save(resultPath) ? 0 : 2;
}

std::wstring scaleChildCommand(const ScaleRequest& request, const std::wstring& resultPath) {
  return quoteArgument(selfPath()) + L" --scale-child " + quoteArgument(resultPath) +
         formatText(L" %u %.6f %u %u %d", request.names, request.sharedShare, request.seed,
                    request.repeats, request.randomOrder ? 1 : 0);
}
