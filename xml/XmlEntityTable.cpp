// XmlEntityTable.cpp
#include "XmlEntityTable.h"

#include <cstring>
#include <vector>

namespace {

struct Entity {
    const char *pszName;
    std::uint32_t dwCodePoint;
};

// Where names differ only in case, the capital form comes first.
const Entity kEntities[] = {
    {"quot", 34}, {"amp", 38}, {"apos", 39}, {"lt", 60}, {"gt", 62},
    {"nbsp", 160}, {"iexcl", 161}, {"cent", 162}, {"pound", 163}, {"curren", 164},
    {"yen", 165}, {"brvbar", 166}, {"sect", 167}, {"uml", 168}, {"copy", 169},
    {"ordf", 170}, {"laquo", 171}, {"not", 172}, {"shy", 173}, {"reg", 174},
    {"macr", 175}, {"deg", 176}, {"plusmn", 177}, {"sup2", 178}, {"sup3", 179},
    {"acute", 180}, {"micro", 181}, {"para", 182}, {"middot", 183}, {"cedil", 184},
    {"sup1", 185}, {"ordm", 186}, {"raquo", 187}, {"frac14", 188}, {"frac12", 189},
    {"frac34", 190}, {"iquest", 191},
    {"Agrave", 192}, {"agrave", 224}, {"Aacute", 193}, {"aacute", 225},
    {"Acirc", 194}, {"acirc", 226}, {"Atilde", 195}, {"atilde", 227},
    {"Auml", 196}, {"auml", 228}, {"Aring", 197}, {"aring", 229},
    {"AElig", 198}, {"aelig", 230}, {"Ccedil", 199}, {"ccedil", 231},
    {"Egrave", 200}, {"egrave", 232}, {"Eacute", 201}, {"eacute", 233},
    {"Ecirc", 202}, {"ecirc", 234}, {"Euml", 203}, {"euml", 235},
    {"Igrave", 204}, {"igrave", 236}, {"Iacute", 205}, {"iacute", 237},
    {"Icirc", 206}, {"icirc", 238}, {"Iuml", 207}, {"iuml", 239},
    {"ETH", 208}, {"eth", 240}, {"Ntilde", 209}, {"ntilde", 241},
    {"Ograve", 210}, {"ograve", 242}, {"Oacute", 211}, {"oacute", 243},
    {"Ocirc", 212}, {"ocirc", 244}, {"Otilde", 213}, {"otilde", 245},
    {"Ouml", 214}, {"ouml", 246}, {"times", 215}, {"divide", 247},
    {"Oslash", 216}, {"oslash", 248}, {"Ugrave", 217}, {"ugrave", 249},
    {"Uacute", 218}, {"uacute", 250}, {"Ucirc", 219}, {"ucirc", 251},
    {"Uuml", 220}, {"uuml", 252}, {"Yacute", 221}, {"yacute", 253},
    {"THORN", 222}, {"thorn", 254}, {"szlig", 223}, {"yuml", 255},
    {"OElig", 338}, {"oelig", 339}, {"Scaron", 352}, {"scaron", 353}, {"Yuml", 376},
    {"fnof", 402}, {"circ", 710}, {"tilde", 732},
    {"Alpha", 913}, {"alpha", 945}, {"Beta", 914}, {"beta", 946},
    {"Gamma", 915}, {"gamma", 947}, {"Delta", 916}, {"delta", 948},
    {"Epsilon", 917}, {"epsilon", 949}, {"Zeta", 918}, {"zeta", 950},
    {"Eta", 919}, {"eta", 951}, {"Theta", 920}, {"theta", 952},
    {"Iota", 921}, {"iota", 953}, {"Kappa", 922}, {"kappa", 954},
    {"Lambda", 923}, {"lambda", 955}, {"Mu", 924}, {"mu", 956},
    {"Nu", 925}, {"nu", 957}, {"Xi", 926}, {"xi", 958},
    {"Omicron", 927}, {"omicron", 959}, {"Pi", 928}, {"pi", 960},
    {"Rho", 929}, {"rho", 961}, {"sigmaf", 962}, {"Sigma", 931}, {"sigma", 963},
    {"Tau", 932}, {"tau", 964}, {"Upsilon", 933}, {"upsilon", 965},
    {"Phi", 934}, {"phi", 966}, {"Chi", 935}, {"chi", 967},
    {"Psi", 936}, {"psi", 968}, {"Omega", 937}, {"omega", 969},
    {"thetasym", 977}, {"upsih", 978}, {"piv", 982},
    {"ensp", 8194}, {"emsp", 8195}, {"thinsp", 8201}, {"zwnj", 8204}, {"zwj", 8205},
    {"lrm", 8206}, {"rlm", 8207}, {"ndash", 8211}, {"mdash", 8212}, {"lsquo", 8216},
    {"rsquo", 8217}, {"sbquo", 8218}, {"ldquo", 8220}, {"rdquo", 8221}, {"bdquo", 8222},
    {"dagger", 8224}, {"Dagger", 8225}, {"bull", 8226}, {"hellip", 8230}, {"permil", 8240},
    {"prime", 8242}, {"Prime", 8243}, {"lsaquo", 8249}, {"rsaquo", 8250}, {"oline", 8254},
    {"frasl", 8260}, {"euro", 8364}, {"image", 8465}, {"weierp", 8472}, {"real", 8476},
    {"trade", 8482}, {"alefsym", 8501},
    {"larr", 8592}, {"uarr", 8593}, {"rarr", 8594}, {"darr", 8595}, {"harr", 8596},
    {"crarr", 8629}, {"lArr", 8656}, {"uArr", 8657}, {"rArr", 8658}, {"dArr", 8659},
    {"hArr", 8660},
    {"forall", 8704}, {"part", 8706}, {"exist", 8707}, {"empty", 8709}, {"nabla", 8711},
    {"isin", 8712}, {"notin", 8713}, {"ni", 8715}, {"prod", 8719}, {"sum", 8721},
    {"minus", 8722}, {"lowast", 8727}, {"radic", 8730}, {"prop", 8733}, {"infin", 8734},
    {"ang", 8736}, {"and", 8743}, {"or", 8744}, {"cap", 8745}, {"cup", 8746},
    {"int", 8747}, {"there4", 8756}, {"sim", 8764}, {"cong", 8773}, {"asymp", 8776},
    {"ne", 8800}, {"equiv", 8801}, {"le", 8804}, {"ge", 8805}, {"sub", 8834},
    {"sup", 8835}, {"nsub", 8836}, {"sube", 8838}, {"supe", 8839}, {"oplus", 8853},
    {"otimes", 8855}, {"perp", 8869}, {"sdot", 8901},
    {"lceil", 8968}, {"rceil", 8969}, {"lfloor", 8970}, {"rfloor", 8971},
    {"lang", 9001}, {"rang", 9002}, {"loz", 9674},
    {"spades", 9824}, {"clubs", 9827}, {"hearts", 9829}, {"diams", 9830},
};

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int Bucket(const char *pName, std::size_t cchName)
{
    unsigned nSum = 0;
    for (std::size_t i = 0; i < cchName; ++i)
        nSum += static_cast<unsigned char>(Lower(pName[i]));
    return static_cast<int>(nSum % CXmlEntityTable::BUCKETS);
}

// The buckets, each listing its entries in table order.
const std::vector<std::vector<const Entity *>> &Buckets()
{
    static const std::vector<std::vector<const Entity *>> buckets = [] {
        std::vector<std::vector<const Entity *>> b(CXmlEntityTable::BUCKETS);
        for (const Entity &e : kEntities)
            b[Bucket(e.pszName, std::strlen(e.pszName))].push_back(&e);
        return b;
    }();
    return buckets;
}

bool SameIgnoringCase(const char *pA, const char *pB, std::size_t cch)
{
    for (std::size_t i = 0; i < cch; ++i)
        if (Lower(pA[i]) != Lower(pB[i]))
            return false;
    return true;
}

} // namespace

std::uint32_t CXmlEntityTable::Lookup(const char *pName, std::size_t cchName)
{
    if (cchName == 0)
        return 0;
    const std::vector<const Entity *> &bucket = Buckets()[Bucket(pName, cchName)];
    for (const Entity *e : bucket)
        if (std::strlen(e->pszName) == cchName && std::memcmp(e->pszName, pName, cchName) == 0)
            return e->dwCodePoint;
    for (const Entity *e : bucket)
        if (std::strlen(e->pszName) == cchName && SameIgnoringCase(e->pszName, pName, cchName))
            return e->dwCodePoint;
    return 0;
}
