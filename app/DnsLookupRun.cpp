#include "app/DnsLookupRun.h"

#include <algorithm>
#include <exception>

#include "dns/LookupLines.h"

using zarvo::dns::TDnsServer;
using zarvo::dns::TLookupResult;
using zarvo::dns::TReverseLookup;

TDnsLookupRun::TDnsLookupRun(zarvo::TLineSnapshot lines, std::string customDelimiter,
                             std::vector<std::string> serverEntries, zarvo::dns::TLookupSettings settings,
                             TNotify notify)
    : FLines(std::move(lines)), FDelimiter(std::move(customDelimiter)),
      FServerEntries(std::move(serverEntries)), FSettings(settings), FNotify(std::move(notify)) {
    FThread = std::thread([this] { Work(); });
}

TDnsLookupRun::~TDnsLookupRun() {
    Stop();
    if (FThread.joinable()) FThread.join();
}

void TDnsLookupRun::Stop() {
    FStop = true;
    // A run that registers after this sees the flag before it starts waiting.
    std::lock_guard<std::mutex> lock(FLock);
    if (FLookup) FLookup->Wake();
}

TDnsLookupBatch TDnsLookupRun::Take(size_t maxResults, bool& more) {
    std::lock_guard<std::mutex> lock(FLock);
    TDnsLookupBatch out;
    out.Total = FTotal;
    FTotal.reset();
    while (!FPending.empty() && (out.Done == 0 || out.Done + FPending.front().Done <= maxResults)) {
        TDnsLookupBatch& chunk = FPending.front();
        if (out.Done == 0) {
            out.Resolved = std::move(chunk.Resolved);
            out.Unresolved = std::move(chunk.Unresolved);
        } else {
            out.Resolved += chunk.Resolved;
            out.Unresolved += chunk.Unresolved;
        }
        out.Done += chunk.Done;
        FPending.pop_front();
    }
    more = !FPending.empty();
    out.Finished = FFinished && !more;
    if (out.Finished) out.Error = QString::fromStdString(FError);
    // With more waiting the window comes back without being told.
    FNotified = more;
    return out;
}

void TDnsLookupRun::Publish(const std::string& address, const std::string& hostName) {
    QString line = QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size()));
    const bool resolved = !hostName.empty();
    // The name comes in its text form, unprintable bytes and "," already escaped.
    if (resolved)
        line +=
            QLatin1Char(',') + QString::fromUtf8(hostName.data(), static_cast<qsizetype>(hostName.size()));
    line += QLatin1Char('\n');
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FPending.empty() || FPending.back().Done >= kChunkResults) FPending.emplace_back();
        TDnsLookupBatch& chunk = FPending.back();
        (resolved ? chunk.Resolved : chunk.Unresolved) += line;
        ++chunk.Done;
        notify = !FNotified;
        FNotified = true;
    }
    if (notify) FNotify();
}

void TDnsLookupRun::Finish(std::string error) {
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFinished = true;
        FError = std::move(error);
        notify = !FNotified;
        FNotified = true;
    }
    if (notify) FNotify();
}

void TDnsLookupRun::Work() {
    std::vector<std::string> addresses;
    {
        zarvo::dns::TLookupAddressFilter filter(FDelimiter);
        std::string address;
        // In blocks, so that Stop is heard soon in ten million lines.
        const size_t n = FLines.LineCount();
        constexpr size_t kBlock = 4096;
        for (size_t first = 0; first < n && !FStop; first += kBlock)
            FLines.ForEachRow(first, std::min(n, first + kBlock), [&](std::string_view line) {
                if (filter.Take(line, address)) addresses.push_back(address);
            });
        FLines = zarvo::TLineSnapshot();
    }
    {
        bool notify = false;
        {
            std::lock_guard<std::mutex> lock(FLock);
            FTotal = addresses.size();
            notify = !FNotified;
            FNotified = true;
        }
        if (notify) FNotify();
    }

    // Address I goes to entry I mod N. The addresses of entries that name no server
    // are not handed to the lookup; those left visit the usable servers in their
    // order, in turn, so the lookup's own turn-taking over them keeps I mod N.
    const size_t n = FServerEntries.size();
    std::vector<bool> usable(n, false);
    std::vector<TDnsServer> servers;
    for (size_t i = 0; i < n; ++i) {
        if (auto s = zarvo::dns::ParseServerEntry(FServerEntries[i])) {
            usable[i] = true;
            servers.push_back(std::move(*s));
        }
    }

    size_t next = 0;          // the next address to hand out
    size_t done = 0;          // every address before this one is published
    std::vector<size_t> sent; // the addresses handed to the lookup, in its order
    const auto unresolvedUpTo = [&](size_t end) {
        for (; done < end && !FStop; ++done) Publish(addresses[done], {});
    };

    try {
        if (!servers.empty() && n > 0) {
            const TReverseLookup::TSource source = [&](std::string& address) {
                while (next < addresses.size() && !usable[next % n]) ++next;
                if (next >= addresses.size()) return false;
                sent.push_back(next);
                address = addresses[next++];
                return true;
            };
            const TReverseLookup::TSink sink = [&](const TLookupResult& r) {
                const size_t index = sent.at(r.Index);
                unresolvedUpTo(index); // the turns of unusable entries before it
                Publish(addresses[index], r.Resolved ? r.HostName : std::string());
                done = index + 1;
            };
            TReverseLookup lookup(std::move(servers), FSettings);
            // Stop may wake the lookup only while it exists: unregistered before it goes,
            // also when Run raises.
            struct TRegistration {
                TDnsLookupRun& Run;
                TRegistration(TDnsLookupRun& run, TReverseLookup& l) : Run(run) {
                    std::lock_guard<std::mutex> lock(Run.FLock);
                    Run.FLookup = &l;
                }
                ~TRegistration() {
                    std::lock_guard<std::mutex> lock(Run.FLock);
                    Run.FLookup = nullptr;
                }
                TRegistration(const TRegistration&) = delete;
                TRegistration& operator=(const TRegistration&) = delete;
            } registration(*this, lookup);
            if (!FStop) lookup.Run(source, sink, &FStop);
        }
    } catch (const std::exception& e) {
        // The lookup could not go on (a server name that does not resolve, no socket):
        // the addresses after those done were never asked, and the window says so.
        Finish(std::string(e.what()));
        return;
    }
    unresolvedUpTo(addresses.size());
    Finish({});
}
