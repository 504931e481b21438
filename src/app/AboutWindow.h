#pragma once

#include <QString>
#include <QWidget>

#include <optional>

namespace orvel {

// Shown in place of the changelog when it is missing, or present but not readable as text.
inline constexpr char kChangelogMissing[] = "No changelog found for this release.";
inline constexpr char kChangelogUnreadable[] = "Changelog could not be parsed for this release.";
inline constexpr char kChangelogResource[] = ":/MiscAssets/changelog.txt";
// The preference showAbout() sets; the launch shows About while it is not true.
inline constexpr char kHasShownAbout[] = "has_shown_about";

// The changelog at `path`, read whole (a byte-order mark picks the encoding, UTF-8 otherwise), or
// one of the two texts above.
QString loadChangelog(const QString& path);

// Logo, changelog (plain text, scrolling vertically), version and build, and the site address.
class AboutContentView : public QWidget {
    Q_OBJECT
public:
    AboutContentView(std::optional<QString> version, std::optional<QString> build,
                     std::optional<QString> changelog, QWidget* parent = nullptr);

    const std::optional<QString>& version() const { return version_; }
    const std::optional<QString>& build() const { return build_; }
    const std::optional<QString>& changelog() const { return changelog_; }

private:
    std::optional<QString> version_;
    std::optional<QString> build_;
    std::optional<QString> changelog_;
};

// Builds and shows a new "About Orvel" window (300 x 500, centred, deleted when closed) and
// records "has_shown_about". Every call makes a window of its own; the caller need not keep it.
QWidget* showAbout(const QString& version, const QString& build,
                   const QString& changelogPath = QString::fromLatin1(kChangelogResource));

// Registers the application's compiled-in images and texts (":/Bulb.png", ":/Logo.png",
// ":/MiscAssets/changelog.txt"). Safe to call more than once; everything that shows them calls it.
void initAppResources();

} // namespace orvel
