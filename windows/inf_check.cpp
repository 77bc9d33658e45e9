// inf_check.cpp - checks bridgeser.inf as it is built: a Ports-class INF
// with a stamped DriverVer whose models for x86 and x64 name the chip's
// hardware ID, with the install, service and file sections those models
// need, each architecture's image run from the driver store (DIRID 13,
// driver package isolation), and no PortName of its own.
//
//   inf_check INF VENDOR_ID PRODUCT_ID     (ids in hex, as the chip reports them)
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Section = std::vector<std::string>;  // lines, lower case, comments and blanks dropped

std::string Lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Strip(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    size_t end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// "key = value" with blanks around the parts removed; "" when no '='.
std::string ValueOf(const Section& section, const std::string& key) {
    for (const std::string& line : section) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && Strip(line.substr(0, eq)) == key) return Strip(line.substr(eq + 1));
    }
    return "";
}

bool Has(const Section& section, const std::string& text) {
    for (const std::string& line : section)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

int failures = 0;
void Expect(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: inf_check INF VENDOR_ID PRODUCT_ID\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::map<std::string, Section> sections;
    Section* current = nullptr;
    for (std::string line; std::getline(in, line);) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == ';' && !quoted) line.resize(i);
        }
        line = Strip(Lower(line));
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']') {
            current = &sections[Strip(line.substr(1, line.size() - 2))];
        } else if (current) {
            current->push_back(line);
        }
    }
    char id[64];
    std::snprintf(id, sizeof id, "usb\\vid_%04lx&pid_%04lx", std::strtoul(argv[2], nullptr, 16),
                  std::strtoul(argv[3], nullptr, 16));
    const std::string hardwareId = id;

    const Section& version = sections["version"];
    Expect(ValueOf(version, "signature") == "\"$windows nt$\"", "[Version] Signature");
    Expect(ValueOf(version, "class") == "ports", "[Version] Class = Ports");
    Expect(ValueOf(version, "classguid") == "{4d36e978-e325-11ce-bfc1-08002be10318}",
           "[Version] ClassGuid of the Ports class");
    unsigned month = 0, day = 0, year = 0, v[4] = {};
    char tail = 0;
    std::string driverVer = ValueOf(version, "driverver");
    bool stamped = std::sscanf(driverVer.c_str(), "%2u/%2u/%4u,%u.%u.%u.%u%c", &month, &day, &year, &v[0], &v[1],
                               &v[2], &v[3], &tail) == 7 &&
                   month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 2000;
    for (unsigned part : v) stamped &= part <= 65535;
    Expect(stamped, "[Version] DriverVer is a stamped date and version: " + driverVer);
    Expect(ValueOf(version, "catalogfile") == "bridgeser.cat", "[Version] CatalogFile = bridgeser.cat");

    // [Manufacturer] name = models, NTx86, NTamd64
    std::string manufacturer = sections["manufacturer"].empty() ? "" : sections["manufacturer"][0];
    std::string models = manufacturer.substr(manufacturer.find('=') + 1);
    std::stringstream parts(models);
    std::vector<std::string> decorations;
    for (std::string part; std::getline(parts, part, ',');) decorations.push_back(Strip(part));
    Expect(decorations.size() >= 3, "[Manufacturer] lists its models with platform decorations");

    // Per architecture: the model names the hardware ID; its install section,
    // decorated for the platform, copies the image to the driver store
    // (DIRID 13) into the same subdirectory it has in the package, and its
    // service runs the image from there.
    struct Platform {
        const char* decoration;
        const char* files;
    };
    for (Platform platform : {Platform{"ntx86", "sourcedisksfiles.x86"}, Platform{"ntamd64", "sourcedisksfiles.amd64"}}) {
        std::string name = platform.decoration;
        bool listed = false;
        for (const std::string& d : decorations) listed |= d == name;
        const Section& model = sections[decorations.empty() ? "" : decorations[0] + "." + name];
        std::string install;
        for (const std::string& line : model) {
            size_t comma = line.rfind(',');
            if (comma != std::string::npos && Strip(line.substr(comma + 1)) == hardwareId) {
                size_t eq = line.find('=');
                install = Strip(line.substr(eq + 1, comma - eq - 1));
            }
        }
        Expect(listed && !install.empty(), "models for " + name + " name " + hardwareId);

        // bridgeser.sys = disk,subdir
        std::string source = ValueOf(sections[platform.files], "bridgeser.sys");
        std::string subdir = source.find(',') == std::string::npos ? "" : Strip(source.substr(source.find(',') + 1));
        Expect(!subdir.empty(), "[" + std::string(platform.files) + "] puts bridgeser.sys in a subdirectory");

        const Section& main = sections[install + "." + name];
        std::string copy = ValueOf(main, "copyfiles");
        Expect(!copy.empty() && Has(sections[copy], "bridgeser.sys"), "[" + install + "." + name + "] copies bridgeser.sys");
        std::string destination = ValueOf(sections["destinationdirs"], copy);
        Expect(destination == "13," + subdir,
               "[DestinationDirs] " + copy + " = 13," + subdir + " (the driver store, the subdirectory of the source)");
        const Section& driverKey = sections[ValueOf(main, "addreg")];
        Expect(Has(driverKey, "hkr,,enumproppages32,,\"msports.dll,serialportproppageprovider\""),
               "the driver key names the Ports class's port-property page (" + name + ")");
        std::string service = ValueOf(sections[install + "." + name + ".services"], "addservice");
        Expect(service.rfind("bridgeser,", 0) == 0 && service.find("0x00000002") != std::string::npos,
               "bridgeser is the device's function driver (SPSVCINST_ASSOCSERVICE) on " + name);
        const Section& serviceSection = sections[Strip(service.substr(service.rfind(',') + 1))];
        Expect(ValueOf(serviceSection, "servicetype") == "1" &&
                   ValueOf(serviceSection, "servicebinary") == "%13%\\" + subdir + "\\bridgeser.sys",
               "a kernel service from %13%\\" + subdir + "\\bridgeser.sys");
    }

    // Every destination is the driver store, and the INF names no COM port:
    // the Ports class installer assigns one from the COM port database.
    bool storeOnly = !sections["destinationdirs"].empty();
    for (const std::string& line : sections["destinationdirs"]) {
        size_t eq = line.find('=');
        storeOnly &= eq != std::string::npos && Strip(line.substr(eq + 1)).rfind("13", 0) == 0;
    }
    Expect(storeOnly, "[DestinationDirs] names only DIRID 13");
    bool portName = false;
    for (const auto& [name, lines] : sections) portName |= Has(lines, "portname");
    Expect(!portName, "no PortName: the Ports class installer names the port");
    return failures ? 1 : 0;
}
