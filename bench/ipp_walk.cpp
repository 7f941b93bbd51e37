// The Get-Jobs walk over an answer of 5,000 held jobs, against libcups' reader on the same bytes.
//
// The answer is made from the captured answer of a real server (tests/data/ipp/get-jobs-held.bin):
// its operation attributes and its first job, repeated 5,000 times with job ids 1 to 5000, encoded
// by libcups itself. Figures: bytes_per_second (MB/s of body) and items_per_second (jobs/s).
#include "ipp/Ipp.h"
#include "ipp/IppBody.h"

#include <benchmark/benchmark.h>
#include <cups/ipp.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr int kJobs = 5000;

struct MemoryReader {
    const std::string* bytes;
    std::size_t pos = 0;
};

ssize_t ReadFromMemory(void* context, ipp_uchar_t* buffer, size_t count)
{
    auto* r = static_cast<MemoryReader*>(context);
    const std::size_t n = std::min(count, r->bytes->size() - r->pos);
    std::memcpy(buffer, r->bytes->data() + r->pos, n);
    r->pos += n;
    return static_cast<ssize_t>(n);
}

ssize_t WriteToMemory(void* context, ipp_uchar_t* buffer, size_t count)
{
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(buffer), count);
    return static_cast<ssize_t>(count);
}

ipp_t* CupsRead(const std::string& body)
{
    MemoryReader reader{&body};
    ipp_t* ipp = ippNew();
    if (ippReadIO(&reader, ReadFromMemory, 1, nullptr, ipp) != IPP_STATE_DATA) {
        ippDelete(ipp);
        return nullptr;
    }
    return ipp;
}

const std::string& FiveThousandJobs()
{
    static const std::string body = [] {
        ipp_t* captured = CupsRead(quenlo::test::CapturedIpp("get-jobs-held"));
        if (!captured)
            throw std::runtime_error("libcups cannot read the captured answer");
        ipp_t* out = ippNewResponse(captured);  // the same version, status and request-id
        ippSetStatusCode(out, ippGetStatusCode(captured));
        ippSetRequestId(out, ippGetRequestId(captured));
        for (int job = 1; job <= kJobs; ++job) {
            ippAddSeparator(out);
            bool inFirstJob = false;
            for (ipp_attribute_t* a = ippFirstAttribute(captured); a; a = ippNextAttribute(captured)) {
                if (!ippGetName(a)) {
                    if (inFirstJob)
                        break;
                    continue;
                }
                if (ippGetGroupTag(a) != IPP_TAG_JOB)
                    continue;
                inFirstJob = true;
                ipp_attribute_t* copy = ippCopyAttribute(out, a, 0);
                if (std::strcmp(ippGetName(a), "job-id") == 0)
                    ippSetInteger(out, &copy, 0, job);
            }
        }
        std::string bytes;
        ippSetState(out, IPP_STATE_IDLE);
        if (ippWriteIO(&bytes, WriteToMemory, 1, nullptr, out) != IPP_STATE_DATA)
            throw std::runtime_error("libcups cannot write the answer");
        ippDelete(out);
        ippDelete(captured);
        return bytes;
    }();
    return body;
}

// What the job list takes from each job (the fields of the refresh's job record).
struct Job {
    std::int32_t id = -1, size = -1, state = -1, created = -1;
    std::string user, name, reasons;
};

void QuenloJobWalk(benchmark::State& state)
{
    const std::string& body = FiveThousandJobs();
    std::size_t jobs = 0;
    for (auto _ : state) {
        Job job;
        jobs = 0;
        quenlo::WalkResponse(
            body, quenlo::kIppJobWalkDelimiterLimit,
            [&](const quenlo::IppAttribute& a) {
                if (a.name == "job-id")
                    job.id = a.integer;
                else if (a.name == "job-name")
                    job.name.assign(a.text);
                else if (a.name == "job-originating-user-name")
                    job.user.assign(a.text);
                else if (a.name == "job-state")
                    job.state = a.integer;
                else if (a.name == "job-state-reasons")
                    job.reasons.assign(a.text);
                else if (a.name == "job-k-octets")
                    job.size = a.integer;
                else if (a.name == "time-at-creation")
                    job.created = a.integer;
            },
            [&](int) {
                if (job.id != -1) {
                    ++jobs;
                    benchmark::DoNotOptimize(job);
                    job = Job{};
                }
            });
    }
    if (jobs != kJobs)
        state.SkipWithError("the walk did not find 5000 jobs");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kJobs));
    state.counters["body_bytes"] = static_cast<double>(body.size());
}
BENCHMARK(QuenloJobWalk)->Unit(benchmark::kMillisecond);

void CupsIppRead(benchmark::State& state)
{
    const std::string& body = FiveThousandJobs();
    for (auto _ : state) {
        ipp_t* ipp = CupsRead(body);
        if (!ipp) {
            state.SkipWithError("ippReadIO failed");
            break;
        }
        benchmark::DoNotOptimize(ipp);
        ippDelete(ipp);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kJobs));
}
BENCHMARK(CupsIppRead)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
