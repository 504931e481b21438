#pragma once

#include <QString>
#include <QUrl>

#include <functional>

namespace orvel {

// The version as the web site expects it in queries: every "." becomes "_" (1.10.3 -> 1_10_3).
QString versionForLinks(const QString& version);

// "https://" + the product web site's host + `path` ("/faq" -> "https://<host>/faq").
QString siteUrl(const QString& path);

// `base` + "?ver=" + the version in link form. The version is appended as it is, without escaping,
// and a base that already holds a query gets a second "?": the site reads links in this form.
QUrl linkWithVersion(const QString& base, const QString& version);

// True only for an http or https URL with a host. Links that arrive from the network are opened
// only when this holds, so a headline can never make us hand a file, script or custom-scheme
// link to the desktop.
bool isOpenableWebLink(const QUrl& link);

// Hands `link` to the desktop's default browser when it is openable; otherwise opens nothing and
// prints a line. Returns whether the link was handed on (the desktop's own answer is not known).
bool openWebLink(const QUrl& link);

// The headline button: the received link with the version query, opened by openWebLink().
bool openHeadlineLink(const QString& headlineURL, const QString& version);

// Replaces the desktop browser for the lifetime of the guard (tests record links instead of
// opening them). Guards nest; the previous opener comes back at destruction.
class ScopedLinkOpener {
public:
    explicit ScopedLinkOpener(std::function<void(const QUrl&)> opener);
    ~ScopedLinkOpener();
    ScopedLinkOpener(const ScopedLinkOpener&) = delete;
    ScopedLinkOpener& operator=(const ScopedLinkOpener&) = delete;

private:
    std::function<void(const QUrl&)> previous_;
};

} // namespace orvel
