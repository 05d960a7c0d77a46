#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qv {

// The pages of a paged walk whose files are still being delivered. A page is opened,
// gets its files to send, and is closed with the work that waits for their delivery
// (its settlement). Settlements run once every file of their page ended, in the order
// the pages were opened, on the walk's thread, so that what they rewrite is rewritten
// in the same order as when each page waited for its own files.
class PageSends {
 public:
  struct Page {
    int32_t start = 0;
    int outstanding = 0;  // files given to send, not yet ended
    bool closed = false;
    // Per file given to send, in order: its tag and whether it was delivered.
    std::vector<std::pair<size_t, bool>> ended;
    std::vector<std::string> undelivered;  // the files not delivered
    // The other pages whose last data the settlement may rewrite.
    std::set<int32_t> touches;
    std::function<void(Page&)> settle;

    size_t Delivered() const;
    bool AllDelivered() const { return Delivered() == ended.size(); }
  };

  ~PageSends();

  std::shared_ptr<Page> Open(int32_t start);
  // Gives `file` of `page` to `send`, which must call the function it gets once with
  // whether the file was delivered (maybe at once). `tag` comes back in Page::ended.
  void Send(const std::shared_ptr<Page>& page, const std::string& file, size_t tag,
            const std::function<void(std::function<void(bool)>)>& send);
  // No more files for the page: `settle` runs once they all ended.
  void Close(const std::shared_ptr<Page>& page, std::function<void(Page&)> settle);

  // Runs the settlements that are due.
  void Settle();
  // Waits until no open or unsettled page may rewrite the last data of `page_start`.
  void WaitFor(int32_t page_start);
  // Waits until every page was settled.
  void WaitAll();
  // Waits while more than `pages` pages are not settled, so that a file waiting long
  // for a retry does not hold an unbounded number of pages in memory.
  void WaitWhileMoreThan(size_t pages);
  bool Empty() const { return pages_.empty(); }

 private:
  std::deque<std::shared_ptr<Page>> pages_;
};

}  // namespace qv
