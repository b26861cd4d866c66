// libFuzzer: one add or removal on a scratch list, checked against the plain model.
// Input: a flags byte (bit 0 add, bit 1 no list file), the name, a zero byte, the list.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../list_model.h"
#include "print_list.h"

namespace {

const std::string &scratch_path()
{
	static const std::string path = [] {
		char dir[] = "/tmp/printlist-fuzz.XXXXXX";
		if (!mkdtemp(dir))
			abort();
		return std::string(dir) + "/list";
	}();
	return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
	const size_t nul = rest.find('\0');
	if (nul == std::string::npos)
		return 0;
	const int mode = (data[0] & 1) ? LIST_ADD : LIST_REMOVE;
	const std::string name = rest.substr(0, nul);
	list_bytes before;
	if (!(data[0] & 2))
		before = rest.substr(nul + 1);

	const std::string &path = scratch_path();
	write_list_file(path, before);
	clear_list();
	load_list(name.c_str(), path.c_str());
	save_list(name.c_str(), mode, path.c_str());
	if (read_list_file(path) != model_change(before, name, mode))
		abort();
	return 0;
}
