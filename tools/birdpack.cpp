// birdpack: writes BIRD firmware files (and lists existing ones).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdSigning.h"
#include "BirdWriter.h"

namespace {

const int kExitOk = 0;
const int kExitFailure = 1;  // unreadable input, unwritable output
const int kExitUsage = 2;    // bad command line

const char* kUsage =
    "Usage: birdpack -o FILE [options]\n"
    "       birdpack --list FILE\n"
    "       birdpack --sign KEY.pem --sign-file FILE\n"
    "       birdpack --verify KEY.pub FILE\n"
    "\n"
    "Writes a BIRD firmware file: the \"bird\" header (format 0x0101), a zlib body\n"
    "holding the blocks, and a CRC-32 of the content as its trailing checksum.\n"
    "\n"
    "Information block (written first unless --no-info):\n"
    "  --model NAME|CODE       model name (at most 16 characters) or model code,\n"
    "                          e.g. 17 for Holvex\n"
    "  --build N               build number, decimal (default 1)\n"
    "  --version TEXT          firmware version text, at most 15 characters, no\n"
    "                          blanks (default 1.0.0)\n"
    "  --serial HEX            serial number the image is made for, hexadecimal\n"
    "                          (default 0); the image is generic (for any module\n"
    "                          of its model) only with --serial-offsets, where the\n"
    "                          update writes in the module's own serial number\n"
    "  --no-info               write no information block\n"
    "  --info-copy ADDR        also write a copy of the information block into the\n"
    "                          firmware at ADDR (a firmware block of its own), the\n"
    "                          copy a module reports its build and version from\n"
    "                          once it runs the new image\n"
    "\n"
    "Blocks, written after the information block in command-line order:\n"
    "  --loader FILE[@ADDR][:FLAGS]          loader code from FILE, load address\n"
    "                                        ADDR (default 0; a FILE whose name\n"
    "                                        holds \"@\" needs the @ADDR part)\n"
    "  --loader-random SIZE[@ADDR][:FLAGS]   SIZE pseudo-random loader bytes\n"
    "  --firmware FILE@ADDR[:FLAGS]          firmware image from FILE at ADDR\n"
    "  --firmware-random SIZE@ADDR[:FLAGS]   SIZE pseudo-random firmware bytes\n"
    "  --serial-offsets SERIAL[,DESCRIPTOR]  memory addresses of the serial-number\n"
    "                                        word and of the serial-number text in\n"
    "                                        the USB descriptor (0 = none)\n"
    "  --start ADDR                          start address for a recovery loader\n"
    "  --block TYPE:FILE                     block of any TYPE (0-31) holding FILE\n"
    "                                        as is\n"
    "  --scramble W0:W1:W2:W3                scramble every firmware block for the\n"
    "                                        chip with that identity (four hex\n"
    "                                        words, the fingerprint -N shows), as\n"
    "                                        boot-ROM recovery expects\n"
    "  --seed N                              seed of the pseudo-random payloads\n"
    "                                        (default 1); the n-th random block\n"
    "                                        uses seed + n - 1\n"
    "\n"
    "Other options:\n"
    "  -o, --output FILE       the file to write (replaced only once complete)\n"
    "  --list FILE             print the blocks of an existing BIRD file\n"
    "\n"
    "Signing (Ed25519 keys in PEM: openssl genpkey -algorithm ed25519 -out KEY.pem;\n"
    "the public key for the updater: openssl pkey -in KEY.pem -pubout -out KEY.pub):\n"
    "  --sign KEY.pem          sign the file written (-o) or --sign-file with the\n"
    "                          private key: a signature block (type 24) is added\n"
    "                          as the last block, replacing any earlier one\n"
    "  --sign-file FILE        sign an existing BIRD file in place\n"
    "  --verify KEY.pub FILE   check FILE's signature with the public key; exit 0\n"
    "                          when it holds, 1 when not\n"
    "  -h, --help              this text\n"
    "  -V, --version           print the version of birdpack (--version alone;\n"
    "                          with a value it is the firmware version)\n"
    "\n"
    "Numbers take a 0x prefix for hexadecimal. FLAGS (0-7) are carried in the\n"
    "block's upper three type bits. Bodies that would expand more than eightfold\n"
    "are compressed less, so the updater can always load the file.\n"
    "\n"
    "Exit codes: 0 written, 1 an input could not be read or the output written,\n"
    "2 bad command line.\n"
    "\n"
    "Example:\n"
    "  birdpack -o 1234.bird --model 17 --build 1234 --version 1.2.3 \\\n"
    "           --loader-random 4096@0x10000000 --firmware-random 65536@0x1000 \\\n"
    "           --serial-offsets 0x10FC,0x1200 --start 0x10000000\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ModelName {
  uint32_t code;
  const char* name;
};

// The model codes modules report, so scripts can name a model by number.
const ModelName kModels[] = {
    {4, "Tavrel"},  {5, "Morlix"},  {13, "Quessa"}, {14, "Darnow"}, {15, "Felkor"},
    {16, "Grivan"}, {17, "Holvex"}, {18, "Jastre"}, {19, "Kirrow"}, {20, "Lumbra"},
    {21, "Nespar"}, {22, "Orvile"}, {23, "Pestra"}, {24, "Rindle"},
};

uint32_t ParseNumber(const std::string& text, const std::string& what, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
    throw UsageError("invalid " + what + " \"" + text + "\"");
  errno = 0;
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX)
    throw UsageError("invalid " + what + " \"" + text + "\"");
  return static_cast<uint32_t>(value);
}

std::string ModelFromArgument(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    uint32_t code = ParseNumber(text, "model code", 10);
    for (const ModelName& model : kModels)
      if (model.code == code)
        return model.name;
    throw UsageError("unknown model code " + text);
  }
  return text;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read \"" + path + "\": " + strerror(errno));
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// SOURCE[@ADDR][:FLAGS], split at the last "@" so paths may contain one.
struct BlockSpec {
  std::string source;
  uint32_t address = 0;
  uint8_t flags = 0;
};

BlockSpec ParseBlockSpec(const std::string& text, bool addressRequired, const std::string& option,
                         const char* sourceName) {
  BlockSpec spec;
  size_t at = text.rfind('@');
  spec.source = text.substr(0, at);
  if (at == std::string::npos) {
    if (addressRequired)
      throw UsageError(option + " needs an address: " + option + " " + sourceName + "@ADDR");
  } else {
    std::string rest = text.substr(at + 1);
    size_t colon = rest.find(':');
    spec.address = ParseNumber(rest.substr(0, colon), option + " address");
    if (colon != std::string::npos) {
      uint32_t flags = ParseNumber(rest.substr(colon + 1), option + " flags");
      if (flags > 7)
        throw UsageError(option + " flags must be 0 to 7");
      spec.flags = static_cast<uint8_t>(flags);
    }
  }
  if (spec.source.empty())
    throw UsageError(option + " needs a " + sourceName);
  return spec;
}

struct Options {
  std::string output;
  std::string list;
  bool info = true;
  uint32_t build = 1;
  std::string version = "1.0.0";
  uint32_t serial = 0;
  std::string model;
  uint32_t seed = 1;
  uint32_t randomBlocks = 0;
  std::vector<birdwriter::Block> blocks;
  // Blocks that are copies of the information block, filled once all of it is known.
  std::vector<size_t> infoCopies;
  bool scramble = false;
  uint32_t key[4] = {0, 0, 0, 0};
  std::string signKey;
  std::string signFile;
  std::string verifyKey;
  std::string verifyFile;
};

void KeyFromArgument(const std::string& text, uint32_t key[4]) {
  size_t start = 0;
  for (int w = 0; w < 4; w++) {
    size_t colon = text.find(':', start);
    if ((w == 3) != (colon == std::string::npos))
      throw UsageError("--scramble needs four hexadecimal words W0:W1:W2:W3");
    key[w] = ParseNumber(text.substr(start, colon - start), "--scramble word", 16);
    start = colon + 1;
  }
}

birdwriter::Block AddressedFromSpec(Options& options, uint8_t type, const std::string& argument, bool random,
                                    const std::string& option) {
  BlockSpec spec = ParseBlockSpec(argument, type == birdwriter::kFirmware, option, random ? "SIZE" : "FILE");
  std::vector<uint8_t> bytes;
  if (random) {
    uint32_t size = ParseNumber(spec.source, option + " size");
    bytes = birdwriter::RandomBytes(size, options.seed + options.randomBlocks++);
  } else {
    bytes = ReadWholeFile(spec.source);
  }
  return birdwriter::AddressedBlock(type, spec.address, bytes, spec.flags);
}

birdwriter::Block SerialOffsetsFromArgument(const std::string& text) {
  size_t comma = text.find(',');
  uint32_t serial = ParseNumber(text.substr(0, comma), "serial-number offset");
  uint32_t descriptor = comma == std::string::npos ? 0 : ParseNumber(text.substr(comma + 1), "descriptor offset");
  return birdwriter::SerialOffsetsBlock(serial, descriptor);
}

birdwriter::Block RawBlockFromArgument(const std::string& text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos)
    throw UsageError("--block needs TYPE:FILE");
  uint32_t type = ParseNumber(text.substr(0, colon), "block type");
  if (type > birdwriter::kTypeMask)
    throw UsageError("block type must be 0 to 31");
  birdwriter::Block block;
  block.type = static_cast<uint8_t>(type);
  block.content = ReadWholeFile(text.substr(colon + 1));
  return block;
}

// The seed is picked up first so it applies wherever it stands.
uint32_t SeedFromArguments(int argc, char** argv) {
  uint32_t seed = 1;
  for (int i = 1; i + 1 < argc; i++)
    if (std::string(argv[i]) == "--seed")
      seed = ParseNumber(argv[++i], "seed");
  return seed;
}

// --verify KEY.pub FILE takes two values.
void VerifyFromArguments(Options& options, const std::string& key, int argc, char** argv, int& i) {
  if (i + 1 >= argc)
    throw UsageError("--verify needs KEY.pub FILE");
  options.verifyKey = key;
  options.verifyFile = argv[++i];
}

// -V anywhere, or --version as the only word (with a value it names the firmware's version).
bool VersionRequested(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--version")
    return true;
  for (int i = 1; i < argc; i++)
    if (std::string(argv[i]) == "-V")
      return true;
  return false;
}

// What makes a file an update can use, checked once every option is read.
void CheckComplete(const Options& options) {
  if (options.list.empty() && options.output.empty() && options.verifyFile.empty() && options.signFile.empty())
    throw UsageError("no output file given (-o FILE)");
  if (!options.signFile.empty() && options.signKey.empty())
    throw UsageError("--sign-file needs the key: --sign KEY.pem");
  if (options.version.find_first_of(" \t") != std::string::npos)
    throw UsageError("the version text may not contain blanks");
  // Listing, verifying and signing in place write no new file.
  if (!options.list.empty() || !options.verifyFile.empty() || !options.signFile.empty())
    return;
  // An empty model would make a file every model check refuses.
  if (options.info && options.model.empty())
    throw UsageError("no model given (--model NAME|CODE)");
  if (!options.info && !options.infoCopies.empty())
    throw UsageError("--info-copy copies the information block, which --no-info leaves out");
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  options.seed = SeedFromArguments(argc, argv);
  for (int i = 1; i < argc; i++) {
    std::string option = argv[i];
    if (option == "-h" || option == "--help")
      throw UsageError("");
    if (option == "--no-info") {
      options.info = false;
      continue;
    }
    if (i + 1 >= argc)
      throw UsageError(option.compare(0, 1, "-") == 0 ? option + " needs a value" : "unexpected \"" + option + "\"");
    std::string value = argv[++i];
    if (option == "-o" || option == "--output")
      options.output = value;
    else if (option == "--list")
      options.list = value;
    else if (option == "--sign")
      options.signKey = value;
    else if (option == "--sign-file")
      options.signFile = value;
    else if (option == "--verify")
      VerifyFromArguments(options, value, argc, argv, i);
    else if (option == "--model")
      options.model = ModelFromArgument(value);
    else if (option == "--build")
      options.build = ParseNumber(value, "build", 10);
    else if (option == "--version")
      options.version = value;
    else if (option == "--serial")
      options.serial = ParseNumber(value, "serial number", 16);
    else if (option == "--seed")
      continue;  // already applied
    else if (option == "--loader" || option == "--loader-random")
      options.blocks.push_back(AddressedFromSpec(options, birdwriter::kLoader, value, option != "--loader", option));
    else if (option == "--firmware" || option == "--firmware-random")
      options.blocks.push_back(
          AddressedFromSpec(options, birdwriter::kFirmware, value, option != "--firmware", option));
    else if (option == "--serial-offsets")
      options.blocks.push_back(SerialOffsetsFromArgument(value));
    else if (option == "--info-copy") {
      options.infoCopies.push_back(options.blocks.size());
      options.blocks.push_back(birdwriter::AddressedBlock(birdwriter::kFirmware, ParseNumber(value, "--info-copy address"), {}));
    } else if (option == "--start")
      options.blocks.push_back(birdwriter::StartAddressBlock(ParseNumber(value, "start address")));
    else if (option == "--scramble") {
      KeyFromArgument(value, options.key);
      options.scramble = true;
    } else if (option == "--block")
      options.blocks.push_back(RawBlockFromArgument(value));
    else
      throw UsageError("unknown option \"" + option + "\"");
  }
  CheckComplete(options);
  return options;
}

void WriteOutput(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string temp = path + ".birdpack-partial";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::remove(temp.c_str());
      throw std::runtime_error("cannot write \"" + path + "\"");
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    throw std::runtime_error("cannot write \"" + path + "\": " + strerror(errno));
  }
}

std::string InfoText(const std::vector<uint8_t>& info, size_t at, size_t width) {
  std::string text(info.begin() + static_cast<long>(at), info.begin() + static_cast<long>(at + width));
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

// What --list says of a signature block.
std::string SignatureText(const std::vector<uint8_t>& content) {
  if (content.size() != birdwriter::kSignatureBlockSize || content[0] != 1)
    return "signature of an unknown layout";
  std::string algorithm = content[1] == 1 ? "Ed25519" : "algorithm " + std::to_string(content[1]);
  return "signature layout 1, " + algorithm + ", key " + birdwriter::HexText(&content[4], birdwriter::kKeyIdSize);
}

void ListFile(const std::string& path) {
  std::vector<uint8_t> file = ReadWholeFile(path);
  std::vector<uint8_t> content = birdwriter::DecodeContent(file);
  std::vector<birdwriter::Block> blocks = birdwriter::DecodeBlocks(content);
  printf("%s: %zu bytes, content %zu bytes, %zu blocks, checksum %08X\n", path.c_str(), file.size(), content.size(),
         blocks.size(), birdwriter::GetBE32(&content[content.size() - 4]));
  for (const birdwriter::Block& block : blocks) {
    printf("type %2u flags %u length %8zu", block.type, block.flags, block.content.size());
    bool addressed = block.type == birdwriter::kLoader || block.type == birdwriter::kFirmware ||
                     block.type == birdwriter::kStartAddress || block.type == birdwriter::kSerialOffsets;
    if (addressed && block.content.size() >= 4)
      printf("  address 0x%08X", birdwriter::GetBE32(block.content.data()));
    if (block.type == birdwriter::kSerialOffsets && block.content.size() >= 8)
      printf("  descriptor 0x%08X", birdwriter::GetBE32(block.content.data() + 4));
    if (block.type == birdwriter::kSignature)
      printf("  %s", SignatureText(block.content).c_str());
    if (block.type == birdwriter::kInfo && block.content.size() >= birdwriter::kInfoSize)
      printf("  build [%s] version [%s] serial [%s] model [%s]", InfoText(block.content, 0, 16).c_str(),
             InfoText(block.content, 16, 16).c_str(), InfoText(block.content, 32, 8).c_str(),
             InfoText(block.content, 48, 16).c_str());
    printf("\n");
  }
}

int VerifySignature(const Options& options) {
  birdwriter::PKey key = birdwriter::ReadEd25519Key(options.verifyKey, false);
  std::string problem = birdwriter::CheckSignature(ReadWholeFile(options.verifyFile), key.get());
  if (!problem.empty()) {
    fprintf(stderr, "birdpack: %s: %s\n", options.verifyFile.c_str(), problem.c_str());
    return kExitFailure;
  }
  std::vector<uint8_t> id = birdwriter::KeyId(key.get());
  printf("%s: signed by key %s, signature good\n", options.verifyFile.c_str(),
         birdwriter::HexText(id.data(), id.size()).c_str());
  return kExitOk;
}

// Signs an existing file in place; its blocks stay as they are.
void SignExisting(const Options& options) {
  birdwriter::PKey key = birdwriter::ReadEd25519Key(options.signKey, true);
  std::vector<uint8_t> content = birdwriter::DecodeContent(ReadWholeFile(options.signFile));
  WriteOutput(options.signFile, birdwriter::SignedFile(birdwriter::DecodeBlocks(content), key.get()));
}

int Run(const Options& options) {
  if (!options.list.empty()) {
    ListFile(options.list);
    return kExitOk;
  }
  if (!options.verifyFile.empty())
    return VerifySignature(options);
  if (!options.signFile.empty()) {
    SignExisting(options);
    return kExitOk;
  }
  std::vector<birdwriter::Block> blocks;
  birdwriter::Block info = birdwriter::InfoBlock(options.build, options.version, options.serial, options.model);
  if (options.info)
    blocks.push_back(info);
  size_t first = blocks.size();
  blocks.insert(blocks.end(), options.blocks.begin(), options.blocks.end());
  for (size_t copy : options.infoCopies) {
    std::vector<uint8_t>& content = blocks[first + copy].content;
    content.insert(content.end(), info.content.begin(), info.content.end());
  }
  if (options.scramble)
    for (birdwriter::Block& block : blocks)
      if (block.type == birdwriter::kFirmware)
        birdwriter::ScrambleFirmware(block.content, options.key);
  if (!options.signKey.empty()) {
    birdwriter::PKey key = birdwriter::ReadEd25519Key(options.signKey, true);
    WriteOutput(options.output, birdwriter::SignedFile(blocks, key.get()));
    return kExitOk;
  }
  WriteOutput(options.output, birdwriter::EncodeFile(blocks));
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (VersionRequested(argc, argv)) {
    printf("birdpack %s\n", BIRDPACK_VERSION);
    return kExitOk;
  }
  try {
    return Run(ParseArguments(argc, argv));
  } catch (const UsageError& e) {
    if (!*e.what()) {
      fputs(kUsage, stdout);
      return kExitOk;
    }
    fprintf(stderr, "birdpack: %s\n(birdpack --help shows the options)\n", e.what());
    return kExitUsage;
  } catch (const std::invalid_argument& e) {  // a field that does not fit its width
    fprintf(stderr, "birdpack: %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    fprintf(stderr, "birdpack: %s\n", e.what());
    return kExitFailure;
  }
}
