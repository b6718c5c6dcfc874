#include "options/ZarvoOptions.h"

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

void ApplyOptionsToEngine(const TZarvoOptions& o, TZarvoUtils& u) {
    if (o.ResolveCountry && o.MMDBFilePath.empty()) throw EOptionMissing("GeoIP2 MMDB File Path");
    u.FResolveIPCountry = o.ResolveCountry;
    u.FMMDBFilePath = o.MMDBFilePath;
    if (o.Mode == gcTotalCount) {
        u.FGenerateCountMode = gcTotalCount;
        u.FGenerateCount = StrToInt(o.TotalCount);
    } else if (o.Mode == gcForEach) {
        u.FGenerateCountMode = gcForEach;
        u.FGenerateCount = StrToInt(o.EachCount);
    } else {
        u.FGenerateCountMode = gcAllCount;
        u.FGenerateCount = 0;
    }
    if (o.GenerateNames) {
        u.FGenerateNames = true;
        u.FNameTemplate = o.NameTemplate;
        u.FCounterSymbol = o.CounterSymbol;
        u.FFirstCounter = StrToInt(o.FirstCounter);
        u.FCounterStep = StrToInt(o.CounterStep);
        u.FCounterDigits = StrToInt(o.CounterDigits);
        u.FNameDelimiter = NameDelimiterText(o.NameDelimiter, o.NameCustomDelimiter);
    } else {
        u.FGenerateNames = false;
        u.FNameTemplate.clear();
        u.FCounterSymbol.clear();
        u.FFirstCounter = 1;
        u.FCounterStep = 1;
        u.FCounterDigits = 1;
        u.FNameDelimiter.assign(1, ' ');
    }
    u.FAddPortNumbers = o.AddPort;
    u.FPortNumbers = o.AddPort ? o.Ports : std::string();
    u.FIPRanges = o.IPRanges;
    u.FUsableHostIPAddresses = o.UsableHosts;
    u.FDoExclude = o.Exclude;
    u.FExcludeMasks = o.Exclude ? o.ExcludeMasks : std::vector<std::string>();
    u.FRandomOrder = o.Random;
    u.FAppend = o.Append;
    u.FEscapeIPv6 = o.EscapeIPv6;
}

} // namespace zarvo
