-- An error value that is not a message still says where it came from.
error({code = 1})
