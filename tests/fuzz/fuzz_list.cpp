// libFuzzer: one add or removal on a scratch list, checked against the plain model.
// Input: a flags byte (bit 0 add, bit 1 no list file), the name, a zero byte, the list.
#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "../list_model.h"
#include "print_list.h"

namespace {

struct scratch {
	int dir;
	std::string path;
	int journal;
};

const scratch &scratch_list()
{
	static const scratch list = [] {
		char dir[] = "/tmp/printlist-fuzz.XXXXXX";
		if (!mkdtemp(dir))
			abort();
		const std::string path = std::string(dir) + "/" + LIST_NAME;
		return scratch{open(dir, O_PATH | O_DIRECTORY), path, open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0600)};
	}();
	return list;
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

	const scratch &list = scratch_list();
	write_list_file(list.path, before);
	clear_list();
	load_list(name.c_str(), list.dir);
	save_list(name.c_str(), mode, list.dir, list.journal);
	if (read_list_file(list.path) != model_change(before, name, mode))
		abort();
	return 0;
}
