// The window's reverse DNS lookup on a thread of its own: the addresses taken from a
// snapshot of the output pane's lines, looked up by TReverseLookup, and the results
// gathered as text for the two result lists until the window takes them.
#pragma once

#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dns/ReverseLookup.h"
#include "support/LineBuffer.h"

// Results that arrived since the window last took them, in address order.
struct TDnsLookupBatch {
    std::optional<size_t> Total; // the number of addresses, in the first batch that knows it
    QString Resolved;            // "address,name" lines, each followed by "\n"
    QString Unresolved;          // addresses, each followed by "\n"
    size_t Done = 0;             // addresses in this batch
    bool Finished = false;       // the run has ended; nothing follows
    QString Error;               // with Finished: why the run failed, the addresses after Done not asked
};

class TDnsLookupRun {
public:
    // Called on the worker when results wait and no call is outstanding (the next
    // one comes after Take), and once when the run has ended.
    using TNotify = std::function<void()>;

    // Starts at once. serverEntries: the server list's entries in order; an entry that
    // names no server still takes its turn, and the addresses it gets are unresolved.
    TDnsLookupRun(zarvo::TLineSnapshot lines, std::string customDelimiter,
                  std::vector<std::string> serverEntries, zarvo::dns::TLookupSettings settings,
                  TNotify notify);
    // Stops the run and waits for its thread.
    ~TDnsLookupRun();
    TDnsLookupRun(const TDnsLookupRun&) = delete;
    TDnsLookupRun& operator=(const TDnsLookupRun&) = delete;

    // Ends the run at once, from any thread: queries in flight are abandoned, and
    // neither they nor any address after them reach the results.
    void Stop();
    // The results gathered since the last call, at most about maxResults of them
    // (whole chunks of kChunkResults); More tells whether others wait already.
    TDnsLookupBatch Take(size_t maxResults, bool& more);

    static constexpr size_t kChunkResults = 1024;

private:
    void Work();
    void Publish(const std::string& address, const std::string& hostName);
    void Finish(std::string error);

    zarvo::TLineSnapshot FLines; // read on the worker only
    std::string FDelimiter;
    std::vector<std::string> FServerEntries;
    zarvo::dns::TLookupSettings FSettings;
    TNotify FNotify;

    std::atomic<bool> FStop{false};
    std::mutex FLock;                              // guards what follows
    zarvo::dns::TReverseLookup* FLookup = nullptr; // while Run is under way
    std::deque<TDnsLookupBatch> FPending;          // chunks of at most kChunkResults results
    std::optional<size_t> FTotal;
    bool FFinished = false;
    std::string FError; // why the run failed; empty when it did not
    bool FNotified = false;

    std::thread FThread; // last: starts when everything above is ready
};
