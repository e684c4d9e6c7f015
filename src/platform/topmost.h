// While a prompt or the updater is open, the application's stay-on-top
// windows are made normal windows so they cannot hide it; they are put back
// on top when it closes.
#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

class TNormalizeTopMosts {
public:
    TNormalizeTopMosts();
    ~TNormalizeTopMosts();
    TNormalizeTopMosts(const TNormalizeTopMosts&) = delete;
    TNormalizeTopMosts& operator=(const TNormalizeTopMosts&) = delete;

private:
    std::vector<QPointer<QWidget>> windows_;
};
