#!/usr/bin/ruby --disable-gems
# A login application that reads the form with Ruby's cgi library (CGI.parse;
# cgi[name] takes the first value). Prints what it read as JSON, as
# parse_qs.py does.
require 'cgi'
require 'json'

def plain(v)
  case v
  when Hash then v.to_h { |k, x| [plain(k), plain(x)] }
  when Array then v.map { |x| plain(x) }
  when String then v.b.force_encoding('ISO-8859-1').encode('UTF-8')
  else v
  end
end

cgi = CGI.new
read = %w[username domain result password].to_h { |k| [k, cgi.params[k]&.first] }
print cgi.header('application/json'), JSON.generate(plain('read' => read, 'all' => cgi.params))
