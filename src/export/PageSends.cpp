#include "export/PageSends.h"

#include <algorithm>
#include <utility>

#include "upload/CQVFileXfer.h"

namespace qv {

size_t PageSends::Page::Delivered() const {
  return static_cast<size_t>(
      std::count_if(ended.begin(), ended.end(), [](const auto& file) { return file.second; }));
}

PageSends::~PageSends() {
  // Pages left unsettled (the walk failed) keep their last data; their files still end
  // in LastTx or Unsent through the uploader.
  pages_.clear();
}

std::shared_ptr<PageSends::Page> PageSends::Open(int32_t start) {
  auto page = std::make_shared<Page>();
  page->start = start;
  pages_.push_back(page);
  return page;
}

void PageSends::Send(const std::shared_ptr<Page>& page, const std::string& file, size_t tag,
                     const std::function<void(std::function<void(bool)>)>& send) {
  ++page->outstanding;
  // Only the page is touched here: this may run after the walk is gone.
  send([page, file, tag](bool delivered) {
    page->ended.emplace_back(tag, delivered);
    if (!delivered) page->undelivered.push_back(file);
    --page->outstanding;
  });
}

void PageSends::Close(const std::shared_ptr<Page>& page, std::function<void(Page&)> settle) {
  page->settle = std::move(settle);
  page->closed = true;
  Settle();
}

void PageSends::Settle() {
  while (!pages_.empty() && pages_.front()->closed && pages_.front()->outstanding == 0) {
    const std::shared_ptr<Page> page = std::move(pages_.front());
    pages_.pop_front();
    if (page->settle) page->settle(*page);
  }
}

void PageSends::WaitFor(int32_t page_start) {
  const auto touching = [&] {
    return std::any_of(pages_.begin(), pages_.end(), [&](const std::shared_ptr<Page>& page) {
      return page->touches.contains(page_start);
    });
  };
  // Without an upload running, nothing more can end: the pages that wait stay unsettled.
  for (Settle(); touching() && CQVFileXfer::WaitForSends(false); Settle()) {
  }
}

void PageSends::WaitWhileMoreThan(size_t pages) {
  for (Settle(); pages_.size() > pages && CQVFileXfer::WaitForSends(false); Settle()) {
  }
}

void PageSends::WaitAll() {
  for (Settle(); !pages_.empty() && CQVFileXfer::WaitForSends(false); Settle()) {
  }
}

}  // namespace qv
