#include "tools/demodata/AustrianNames.h"

namespace demodata {

namespace {

const char* const SURNAMES[] = {
    "Gruber",    "Huber",      "Bauer",   "Wagner",   "Müller",      "Pichler", "Steiner",     "Moser",
    "Mayer",     "Hofer",      "Leitner", "Berger",   "Fuchs",       "Eder",    "Fischer",     "Schmid",
    "Winkler",   "Weber",      "Schwarz", "Maier",    "Schneider",   "Reiter",  "Mayr",        "Schmidt",
    "Wimmer",    "Egger",      "Brunner", "Lang",     "Baumgartner", "Auer",    "Binder",      "Lechner",
    "Wolf",      "Wallner",    "Aigner",  "Ebner",    "Koller",      "Lehner",  "Haas",        "Schuster",
    "Höller",    "Pöschl",     "Strauß",  "Jäger",    "Fröhlich",    "Kössler", "Schönberger", "Größbauer",
    "Mößlacher", "Klöckl",     "Hödl",    "Fürst",    "Grünwald",    "Sölkner", "Pröll",       "Kärntner",
    "Ölz",       "Überbacher", "Dörfler", "Wöginger", "Rößler",      "Süß",     "Bräuer",      "Lößl",
};

const char* const FIRST_NAMES[] = {
    "Anna",      "Maria",   "Lukas",     "Jürgen",    "Sabine",    "Thomas",  "Barbara",    "Christoph",
    "Elisabeth", "Franz",   "Gerhard",   "Katharina", "Matthias",  "Monika",  "Stefan",     "Ursula",
    "Wolfgang",  "Johanna", "Florian",   "Theresa",   "Günther",   "Jörg",    "Bärbel",     "Sören",
    "Hanna",     "Lea",     "Tobias",    "Magdalena", "Josef",     "Andreas", "Petra",      "Michael",
    "Hildegard", "Rüdiger", "Ernestine", "Dominik",   "Valentina", "Leopold", "Maximilian", "Zoë",
};

const char* const STREETS[] = {
    "Hauptstraße",
    "Mariahilfer Straße",
    "Kärntner Straße",
    "Grünbergstraße",
    "Währinger Straße",
    "Mühlgasse",
    "Schönbrunner Straße",
    "Äußere Ringstraße",
    "Ölzeltgasse",
    "Bahnhofstraße",
    "Kirchengasse",
    "Schloßberg",
    "Dorfplatz",
    "Lindengasse",
    "Wiener Straße",
    "Salzburger Straße",
    "Linzer Gasse",
    "Föhrenweg",
    "Am Anger",
    "Rosenhügel",
    "Brückengasse",
    "Gürtel",
    "Herrengasse",
    "Südtiroler Platz",
    "Landstraßer Hauptstraße",
    "Dörfelstraße",
    "Steinbruchweg",
    "Fünfhauser Gasse",
    "Grazer Straße",
    "Mönchsberg",
};

const Place PLACES[] = {
    {"1010", "Wien"},
    {"1070", "Wien"},
    {"1100", "Wien"},
    {"1190", "Wien"},
    {"1220", "Wien"},
    {"8010", "Graz"},
    {"4020", "Linz"},
    {"5020", "Salzburg"},
    {"6020", "Innsbruck"},
    {"9020", "Klagenfurt am Wörthersee"},
    {"3100", "St. Pölten"},
    {"7000", "Eisenstadt"},
    {"6900", "Bregenz"},
    {"4600", "Wels"},
    {"2700", "Wiener Neustadt"},
    {"2340", "Mödling"},
    {"9500", "Villach"},
    {"3500", "Krems an der Donau"},
    {"4400", "Steyr"},
    {"8280", "Fürstenfeld"},
    {"3950", "Gmünd"},
    {"4820", "Bad Ischl"},
    {"2230", "Gänserndorf"},
    {"3362", "Öhling"},
    {"9220", "Velden am Wörther See"},
    {"4840", "Vöcklabruck"},
    {"8990", "Bad Aussee"},
    {"5700", "Zell am See"},
    {"6850", "Dornbirn"},
    {"7100", "Neusiedl am See"},
    {"8600", "Bruck an der Mur"},
    {"2500", "Baden"},
};

} // namespace

std::span<const char* const> surnames()
{
    return SURNAMES;
}

std::span<const char* const> firstNames()
{
    return FIRST_NAMES;
}

std::span<const char* const> streets()
{
    return STREETS;
}

std::span<const Place> places()
{
    return PLACES;
}

} // namespace demodata
