#include "options/ZarvoOptions.h"

#include "mmdb/uMMDBCountryBlocks.h"

namespace zarvo {

std::string NameDelimiterText(TNameDelimiter d, const std::string& custom) {
    switch (d) {
    case ndTab:
        return "\t";
    case ndComma:
        return ",";
    case ndSemicolon:
        return ";";
    case ndCustom:
        return custom;
    case ndWhitespace:
        break;
    }
    return " ";
}

TGenerateRequest MakeGenerateRequest(TZarvoOptions o) {
    if (o.ResolveCountry && o.MMDBFilePath.empty()) throw EOptionMissing("GeoIP2 MMDB File Path");
    TGenerateRequest r;
    r.ResolveCountry = o.ResolveCountry;
    r.MMDBFilePath = std::move(o.MMDBFilePath);
    if (!Trim(o.CountryField).empty()) r.CountryField = Trim(o.CountryField);
    if (o.ResolveCountry && !Trim(o.OnlyCountries).empty())
        r.OnlyCountries = ParseCountryCodes(o.OnlyCountries, "Only countries");
    if (o.Mode == gcTotalCount) {
        r.Mode = gcTotalCount;
        r.Count = StrToInt(o.TotalCount);
    } else if (o.Mode == gcForEach) {
        r.Mode = gcForEach;
        r.Count = StrToInt(o.EachCount);
    }
    if (o.GenerateNames) {
        r.GenerateNames = true;
        r.Names.Template = std::move(o.NameTemplate);
        r.Names.Symbol = std::move(o.CounterSymbol);
        r.Names.First = StrToInt(o.FirstCounter);
        r.Names.Step = StrToInt(o.CounterStep);
        r.Names.Digits = StrToInt(o.CounterDigits);
        r.Names.Delimiter = NameDelimiterText(o.NameDelimiter, o.NameCustomDelimiter);
    }
    if (o.AddPort) r.Ports = std::move(o.Ports);
    r.IPRanges = std::move(o.IPRanges);
    r.UsableHosts = o.UsableHosts;
    r.Unique = o.Unique;
    if (o.Exclude) r.ExcludeMasks = std::move(o.ExcludeMasks);
    r.RandomOrder = o.Random;
    r.Append = o.Append;
    r.EscapeIPv6 = o.EscapeIPv6;
    r.LowerIPv6 = o.LowerIPv6;
    return r;
}

} // namespace zarvo
