#include "options/ZarvoOptions.h"

namespace zarvo {

std::string NameDelimiterText(int position, const std::string& custom) {
    switch (position) {
    case 1:
        return "\t";
    case 2:
        return ",";
    case 3:
        return ";";
    case 4:
        return custom;
    default:
        return " ";
    }
}

void ApplyOptionsToEngine(const TZarvoOptions& o, TZarvoUtils& u) {
    if (o.ResolveCountry && o.MMDBFilePath.empty()) throw EOptionMissing("GeoIP2 MMDB File Path");
    u.FResolveIPCountry = o.ResolveCountry;
    u.FMMDBFilePath = o.MMDBFilePath;
    if (o.Mode == 1) {
        u.FGenerateCountMode = gcTotalCount;
        u.FGenerateCount = StrToInt(o.TotalCount);
    } else if (o.Mode == 2) {
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
