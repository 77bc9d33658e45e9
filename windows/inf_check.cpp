// inf_check.cpp - checks bridgeser.inf: a Ports-class INF whose models for
// x86 and x64 name the chip's hardware ID, with the install, hardware,
// service and file sections those models need.
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
    Expect(!ValueOf(version, "driverver").empty(), "[Version] DriverVer");

    // [Manufacturer] name = models, NTx86, NTamd64
    std::string manufacturer = sections["manufacturer"].empty() ? "" : sections["manufacturer"][0];
    std::string models = manufacturer.substr(manufacturer.find('=') + 1);
    std::stringstream parts(models);
    std::vector<std::string> decorations;
    for (std::string part; std::getline(parts, part, ',');) decorations.push_back(Strip(part));
    Expect(decorations.size() >= 3, "[Manufacturer] lists its models with platform decorations");
    std::string install;
    for (const char* platform : {"ntx86", "ntamd64"}) {
        bool listed = false;
        for (const std::string& d : decorations) listed |= d == platform;
        const Section& model = sections[decorations.empty() ? "" : decorations[0] + "." + platform];
        bool names = false;
        for (const std::string& line : model) {
            size_t comma = line.rfind(',');
            if (comma != std::string::npos && Strip(line.substr(comma + 1)) == hardwareId) {
                names = true;
                size_t eq = line.find('=');
                install = Strip(line.substr(eq + 1, comma - eq - 1));
            }
        }
        Expect(listed && names, std::string("models for ") + platform + " name " + hardwareId);
        std::string files = std::string("sourcedisksfiles.") + (platform == std::string("ntx86") ? "x86" : "amd64");
        Expect(Has(sections[files], "bridgeser.sys"), "[" + files + "] has bridgeser.sys");
    }

    const Section& main = sections[install + ".nt"];
    Expect(!ValueOf(main, "copyfiles").empty() && Has(sections[ValueOf(main, "copyfiles")], "bridgeser.sys"),
           "[" + install + ".nt] copies bridgeser.sys");
    const Section& driverKey = sections[ValueOf(main, "addreg")];
    Expect(Has(driverKey, "hkr,,enumproppages32,,\"msports.dll,serialportproppageprovider\""),
           "the driver key names the Ports class's port-property page");
    const Section& hardware = sections[ValueOf(sections[install + ".nt.hw"], "addreg")];
    Expect(Has(hardware, "hkr,,portname,"), "[" + install + ".nt.hw] gives the hardware key a PortName");
    std::string service = ValueOf(sections[install + ".nt.services"], "addservice");
    Expect(service.rfind("bridgeser,", 0) == 0 && service.find("0x00000002") != std::string::npos,
           "bridgeser is the device's function driver (SPSVCINST_ASSOCSERVICE)");
    const Section& serviceSection = sections[Strip(service.substr(service.rfind(',') + 1))];
    Expect(ValueOf(serviceSection, "servicetype") == "1" &&
               ValueOf(serviceSection, "servicebinary") == "%12%\\bridgeser.sys",
           "a kernel service from %12%\\bridgeser.sys");
    Expect(ValueOf(sections["destinationdirs"], "defaultdestdir") == "12", "files go to the drivers directory");
    return failures ? 1 : 0;
}
