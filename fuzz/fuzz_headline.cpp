// The headline body from the product web site.
#include "FuzzCheck.h"

#include "app/LoadedNews.h"

using namespace orvel;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const QByteArray body = fuzz::bytes(data, size);
    qsizetype parts = -1;
    const auto headline = parseHeadline(body, &parts);
    FUZZ_CHECK(headline.has_value() == (parts == 2));
    if (!headline)
        return 0;
    for (const QString& part : {headline->text, headline->url}) {
        FUZZ_CHECK(part == part.trimmed());
        FUZZ_CHECK(!part.contains(QStringLiteral("||")));
    }
    // Put back together, it reads the same (unless the text ends with "|", which then joins the
    // separator: "a|" and "b" come back as "a" and "|b").
    if (headline->text.endsWith(QLatin1Char('|')))
        return 0;
    const auto again = parseHeadline((headline->text + QStringLiteral("||") + headline->url).toUtf8());
    FUZZ_CHECK(again && again->text == headline->text && again->url == headline->url);
    return 0;
}
